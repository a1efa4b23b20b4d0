#!/usr/bin/env python3
"""Writes the fuzz targets' seed inputs into tests/fuzz/seeds/<target>/: valid packets of every
command, datagrams of every mode, the configuration files the tests use, listing answers and
command lines, each in the input format its target reads. The committed corpus is these seeds
after a libFuzzer merge (-merge=1) with what the fuzzers found; see the README."""
import os
import struct
import sys
import zlib

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "seeds")


def write(target, name, data):
    folder = os.path.join(OUT, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# --- control stream -------------------------------------------------------------------------

def text30(s):
    b = s.encode("latin-1")
    return bytes([len(b)]) + b + bytes(30 - len(b))


def packet(code, body=b""):
    return struct.pack("<HHHh", 0xB0BA, 0, 8 + len(body), code) + body


LOGIN = lambda name, pw="", ver="1.2.2": packet(1, text30(name) + text30(pw) + text30(ver))
READY = packet(2, b"\x00\x00")
CHANGE_ROOM = lambda room: packet(50, bytes([room]))
LEAVE = packet(51)
PLAYER_STATS = lambda pid: packet(60, bytes([pid]))
SERVER_STATS = packet(70)
ADMIN_LOGIN = lambda pw: packet(100, text30(pw))
CREATE_ROOM = lambda name: packet(110, text30(name))
DELETE_ROOM = lambda room: packet(120, bytes([room]))
KICK = lambda pid: packet(130, bytes([pid]))
SERVER_PASSWORD = lambda pw: packet(140, text30(pw))
SAVE_ROOMS = packet(150)
ADMIN_PASSWORD = lambda pw: packet(160, text30(pw))


def send(conn, data):
    """One step: connection `conn` sends `data` in one piece."""
    if len(data) < 256:
        return bytes([conn]) + bytes([len(data)]) + data
    return bytes([4 | conn]) + struct.pack("<H", len(data)) + data


def close(conn):
    return bytes([8 | conn])


def stall(conn):
    return bytes([12 | conn])


def control_seeds():
    s = {}
    s["player"] = (send(0, LOGIN("ann")) + send(0, READY) + send(0, CHANGE_ROOM(2)) +
                   send(0, PLAYER_STATS(1)) + send(0, SERVER_STATS) + send(0, LEAVE))
    s["admin"] = (send(0, LOGIN("ann")) + send(1, LOGIN("bob")) + send(1, READY) +
                  send(0, ADMIN_LOGIN("vimbo")) + send(0, CREATE_ROOM("Music")) + send(0, DELETE_ROOM(1)) +
                  send(0, SERVER_PASSWORD("pw")) + send(0, SAVE_ROOMS) + send(0, ADMIN_PASSWORD("new")) +
                  send(0, KICK(2)) + send(1, PLAYER_STATS(1)))
    s["not_admin"] = (send(0, LOGIN("ann")) + send(0, ADMIN_LOGIN("wrong")) + send(0, CREATE_ROOM("x")) +
                      send(0, DELETE_ROOM(1)) + send(0, KICK(1)) + send(0, SERVER_PASSWORD("")) +
                      send(0, SAVE_ROOMS) + send(0, ADMIN_PASSWORD("")))
    s["legacy"] = (send(0, LOGIN("old", "", "1.2.0")) + send(0, READY) + send(0, ADMIN_LOGIN("vimbo")) +
                   send(1, LOGIN("new")) + send(1, PLAYER_STATS(1)) + send(0, PLAYER_STATS(2)))
    s["full"] = b"".join(send(i, LOGIN("p%d" % i)) for i in range(4)) + send(3, READY)
    s["password"] = (send(0, LOGIN("ann")) + send(0, ADMIN_LOGIN("vimbo")) + send(0, SERVER_PASSWORD("pw")) +
                     send(1, LOGIN("bob", "bad")) + send(2, LOGIN("cid", "pw")))
    login = LOGIN("ann")
    s["split"] = send(0, login[:3]) + send(0, login[3:50]) + send(0, login[50:]) + send(0, READY + SERVER_STATS)
    s["early_close"] = send(0, LOGIN("ann")) + send(1, LOGIN("bob")) + send(1, READY[:5]) + close(1) + send(0, READY)
    s["stalled"] = (send(0, LOGIN("ann")) + stall(0) + send(1, LOGIN("bob")) +
                    b"".join(send(1, CHANGE_ROOM(i)) for i in range(1, 20)) + send(0, READY))
    s["kicked"] = (send(0, LOGIN("ann")) + send(1, LOGIN("bob")) + send(0, ADMIN_LOGIN("vimbo")) +
                   send(0, KICK(2)) + send(1, SERVER_STATS) + send(0, KICK(1)))
    s["odd"] = (send(0, packet(2)) + send(0, LOGIN("ann")) + send(0, packet(999, b"abc")) +
                send(0, struct.pack("<HHHh", 0xB0BA, 0, 3, 70)) + send(0, packet(-5)) + send(0, b"\xff" * 300) +
                send(0, READY))
    s["ready_refused"] = send(0, LOGIN("ann")) + send(0, packet(2, b"\x00\x01"))
    s["larger_than_a_packet_buffer"] = send(0, LOGIN("ann")) + send(0, SERVER_STATS * 700) + send(1, b"\xba" * 5000)
    for name, data in s.items():
        write("control", name, data)


# --- UDP -------------------------------------------------------------------------------------

SESSIONS = [0x1111, 0x2222, 0x0303, 50000]


def relay(session, packet_id, payload, mode=0, opaque=0):
    d = bytearray(struct.pack("<HHHBBII", 0xB0BA, session, 16 + len(payload), mode, opaque, packet_id, 0) + payload)
    struct.pack_into("<I", d, 12, zlib.crc32(bytes(d)) & 0xFFFFFFFF)
    return bytes(d)


def ping(session, kind, value):
    return struct.pack("<HHHBB", 0xAABB, session, 12, kind, value) + b"\xff\xee\x00\x00"


def datagram(source, data, drain=False):
    return bytes([source | (8 if drain else 0)]) + struct.pack("<H", len(data)) + data


def udp_seeds():
    s = {}
    s["room"] = (b"\x00" + b"".join(datagram(i, ping(SESSIONS[i], 1, 1)) for i in range(4)) +
                 datagram(0, relay(SESSIONS[0], 1, b"voice")) + datagram(0, relay(SESSIONS[0], 2, b"more"), True) +
                 datagram(1, relay(SESSIONS[1], 7, b"x" * 100), True))
    s["list"] = (b"\x00" + b"".join(datagram(i, ping(SESSIONS[i], 2, 200)) for i in range(4)) +
                 datagram(2, relay(SESSIONS[2], 1, b"\x02\x01\xff" + b"to two", 1), True) +
                 datagram(2, relay(SESSIONS[2], 2, b"\x05\x01\x02\x06\xff\xff", 1)) +
                 datagram(2, relay(SESSIONS[2], 3, b"\x09\x01", 1), True))
    s["forged"] = (b"\x32" + datagram(0, ping(SESSIONS[0], 1, 3)) + datagram(1, relay(SESSIONS[1], 1, b"a")) +
                   datagram(4, relay(SESSIONS[0], 5, b"forged")) + datagram(5, ping(SESSIONS[3], 1, 0)) +
                   datagram(0, relay(SESSIONS[0], 6, b"bad sum")[:-1] + b"!", True))
    s["short"] = (b"\x00" + datagram(0, b"") + datagram(0, b"\xba\xb0") + datagram(0, b"\xba\xb0\x11\x11") +
                  datagram(0, relay(SESSIONS[0], 1, b"")[:15]) + datagram(0, ping(SESSIONS[0], 1, 1)[:7]) +
                  datagram(0, relay(SESSIONS[0], 1, b"", 1), True) + datagram(0, relay(SESSIONS[0], 2, b"\x00", 7), True))
    s["leaving"] = b"\x0e" + datagram(1, relay(SESSIONS[1], 1, b"gone")) + datagram(0, relay(SESSIONS[0], 1, b"hi"), True)
    # Sources 5 (the second session's address, another port), 6 (the server's own endpoint) and
    # 7 (nobody); session 3 shares the first socket's address, so that socket may speak for it.
    s["addresses"] = (b"\x00" + datagram(5, ping(SESSIONS[1], 1, 1)) + datagram(6, relay(SESSIONS[0], 1, b"loop")) +
                      datagram(6, ping(SESSIONS[0], 1, 1)) + datagram(7, ping(SESSIONS[2], 1, 1)) +
                      datagram(0, ping(SESSIONS[3], 1, 2)) + datagram(3, relay(SESSIONS[3], 1, b"nat"), True))
    # Bit 0: the address check is off, so strangers may move an endpoint.
    s["unchecked"] = (b"\x01" + datagram(4, ping(SESSIONS[0], 1, 1)) + datagram(7, relay(SESSIONS[1], 1, b"far")) +
                      datagram(6, relay(SESSIONS[2], 1, b"own"), True))
    for name, data in s.items():
        write("udp", name, data)


# --- INI -------------------------------------------------------------------------------------

FIRST_START = (b"[Version]\r\nServerVersion=v1.2.2\r\n"
               b"[Passwords]\r\nServerPassword=\r\nAdminPassword=vimbo\r\n"
               b"[General]\r\nServername=Parleyvox Server\r\nMaxClients=16\r\n"
               b"[Networking]\r\nTCPPort=8765\r\nIP=\r\n"
               b"[Ping]\r\nMaxPingTries=3\r\nPingWaitTime=15000\r\nIdleTimeBeforePing=5000\r\n"
               b"[WebStatus]\r\nActive=0\r\nParleyvoxSite_Active=0\r\nParleyvoxSite_DisplayInWebList=0\r\n"
               b"WebPostURL=http://\r\nWebPostLinkUrl=http://www.parleyvox.example/\r\n")
OLDER = (b"; Parleyvox server configuration\r\n; edited by hand\r\n\r\n"
         b"[Version]\r\nServerVersion=v1.2.0\r\n\r\n"
         b"[Passwords]\r\nServerPassword=secret\r\nAdminPassword=letmein\r\n\r\n"
         b"[General]\r\nServername=My Old Server\r\nMaxClients=32\r\n\r\n"
         b"; rooms created at start-up\r\n[Channels]\r\n0=Lobby\r\n1=Music Room\r\n; 2=disabled room\r\n\r\n"
         b"[Networking]\r\nTCPPort = 9000\r\nIP=\r\n\r\n"
         b"[Ping]\r\nMaxPingTries=5\r\nPingWaitTime=15000\r\nIdleTimeBeforePing=5000\r\n\r\n"
         b"[WebStatus]\r\nActive=1\r\nWebPostURL=example.org/post\r\n\r\n"
         b"; local additions\r\n[Custom]\r\nNote=kept?\r\n")
ODD = (b"\xef\xbb\xbfOrphan=1\r\n[S]\nK=v\r[T]\r\n  k  =  ' quoted '  \r\nNoEq\r\n;J=old\r\n"
       b"[Channels]\r\n0=Lobby\r\n1=Games\r\n3=Music\r\n[C]]\r\nK=c\r\n[B\r\nK=b\r\nnul=a\x00b\r\nlast=0x1F")

SECTIONS = ["Passwords", "General", "Networking", "Ping", "WebStatus", "Channels", "Version", "s"]
KEYS = ["ServerPassword", "AdminPassword", "Servername", "TCPPort", "0", "1", "ServerVersion", "k"]


def ini_step(kind, section, key, value=None):
    step = bytes([kind | (SECTIONS.index(section) << 2) | (KEYS.index(key) << 5)])
    if value is not None:
        step += bytes([len(value)]) + value
    return step


def ini_input(file_bytes, load, steps):
    return struct.pack("<H", len(file_bytes)) + file_bytes + bytes([load]) + b"".join(steps)


def ini_seeds():
    edits = [ini_step(0, "General", "TCPPort"), ini_step(1, "Passwords", "ServerPassword", b"new pw"),
             ini_step(1, "Channels", "0", b"Lobby"), ini_step(2, "Channels", "0"), ini_step(1, "s", "k", b"a\r\nb=c"),
             ini_step(3, "s", "k"), ini_step(1, "Version", "ServerVersion", b"v1.2.2"), ini_step(3, "s", "k")]
    write("ini", "first_start", ini_input(FIRST_START, 1, edits))
    write("ini", "older", ini_input(OLDER, 1, edits))
    write("ini", "odd", ini_input(ODD, 0, edits + [ini_step(2, "s", "k"), ini_step(3, "s", "k")]))
    write("ini", "missing", ini_input(b"", 1, [ini_step(1, "Passwords", "AdminPassword", b"x"), ini_step(3, "s", "k")]))


# --- HTTP answer -----------------------------------------------------------------------------

def answer(end, *pieces):
    return bytes([end]) + b"".join(bytes([len(p)]) + p for p in pieces)


def http_seeds():
    write("http_answer", "ok", answer(0, b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"))
    write("http_answer", "not_found", answer(0, b"HTTP/1.0 404 Not Found\r\n\r\n"))
    write("http_answer", "continue", answer(2, b"HTTP/1.1 100 Continue\r\n\r\n", b"HTTP/1.1 204 No Content\r\n\r\n"))
    write("http_answer", "redirect", answer(0, b"HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1/\r\n\r\n"))
    write("http_answer", "lf_only", answer(1, b"HTTP/1.1 2", b"00 OK\nServer: x\n\nbody"))
    write("http_answer", "early_close", answer(0, b"HTTP/1.1 200 OK\r\nServer: half"))
    write("http_answer", "not_http", answer(0, b"SSH-2.0-x\r\n\r\n"))
    write("http_answer", "bare_status", answer(2, b"HTTP/1.1 299\r\n\r\n"))


# --- command line ----------------------------------------------------------------------------

def command_line_seeds():
    write("command_line", "all", b"-INI=other.ini\x00-LOG=/tmp/x.log\x00-PID=42")
    write("command_line", "mixed", b"x-ini=a.ini-LOG=b\x00-log=\x00-INI=\x00--ini=last.ini")


if __name__ == "__main__":
    if len(sys.argv) > 1:
        OUT = sys.argv[1]
    control_seeds()
    udp_seeds()
    ini_seeds()
    http_seeds()
    command_line_seeds()
