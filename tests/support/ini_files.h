// The INI and configuration-file tests' files: whole-file reads and writes, a file's inode and
// mode, and the bytes of the configuration files the server reads and writes. Temporary folders
// are support/server_process.h's.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "core/ini_file.h"
#include "support/server_process.h"

namespace pv::test {

// False when the file could not be written whole.
inline bool PutFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  return static_cast<bool>(out << bytes << std::flush);
}

inline std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline bool FileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// One edit as a call of its own: a load, the edit and an update.
inline std::string ReadOne(const std::string& path, std::string_view section, std::string_view key,
                           std::string_view default_value) {
  return IniFile(path).ReadString(section, key, default_value);
}
inline void WriteOne(const std::string& path, std::string_view section, std::string_view key,
                     std::string_view value) {
  IniFile file(path);
  file.WriteString(section, key, value);
  file.UpdateFile();
}
inline void EraseOne(const std::string& path, std::string_view section) {
  IniFile file(path);
  file.EraseSection(section);
  file.UpdateFile();
}

// The inode changes with every replacement, so an unchanged inode means "not written".
inline ino_t Inode(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// The permission bits; 0 when there is no such file.
inline mode_t ModeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// The configuration file the server writes on its first start.
inline const std::string kFirstStartFile =
    "[Version]\r\nServerVersion=v1.2.2\r\n"
    "[Passwords]\r\nServerPassword=\r\nAdminPassword=vimbo\r\n"
    "[General]\r\nServername=Parleyvox Server\r\nMaxClients=16\r\n"
    "[Networking]\r\nTCPPort=8765\r\nIP=\r\n"
    "[Ping]\r\nMaxPingTries=3\r\nPingWaitTime=15000\r\nIdleTimeBeforePing=5000\r\n"
    "[WebStatus]\r\nActive=0\r\nParleyvoxSite_Active=0\r\nParleyvoxSite_DisplayInWebList=0\r\n"
    "WebPostURL=http://\r\nWebPostLinkUrl=http://www.parleyvox.example/\r\n";

// A hand-edited file of an older layout: comments, blank lines, [Channels] in the middle and a
// section of the operator's own at the end.
inline const std::string kOlderFile =
    "; Parleyvox server configuration\r\n; edited by hand\r\n\r\n"
    "[Version]\r\nServerVersion=v1.2.0\r\n\r\n"
    "[Passwords]\r\nServerPassword=secret\r\nAdminPassword=letmein\r\n\r\n"
    "[General]\r\nServername=My Old Server\r\nMaxClients=32\r\n\r\n"
    "; rooms created at start-up\r\n[Channels]\r\n0=Lobby\r\n1=Music Room\r\n; 2=disabled room\r\n\r\n"
    "[Networking]\r\nTCPPort = 9000\r\nIP=\r\n\r\n"
    "[Ping]\r\nMaxPingTries=5\r\nPingWaitTime=15000\r\nIdleTimeBeforePing=5000\r\n\r\n"
    "[WebStatus]\r\nActive=1\r\nWebPostURL=example.org/post\r\n\r\n"
    "; local additions\r\n[Custom]\r\nNote=kept?\r\n";

// What is left of kOlderFile once the six rewritten sections are erased: the sections' header and
// key lines go; their comments and blank lines stay where they were.
inline const std::string kOlderFileErased =
    "; Parleyvox server configuration\r\n; edited by hand\r\n\r\n\r\n\r\n\r\n"
    "; rooms created at start-up\r\n[Channels]\r\n0=Lobby\r\n1=Music Room\r\n; 2=disabled room\r\n"
    "\r\n\r\n\r\n\r\n; local additions\r\n[Custom]\r\nNote=kept?\r\n";

}  // namespace pv::test
