// Helpers of the INI and configuration-file tests: a temporary folder under /tmp that is removed
// afterwards, whole-file reads and writes, and the bytes of a file the server creates itself.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace pv::testing {

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/pvini_XXXXXX";
    path_ = ::mkdtemp(name) ? name : "";
  }
  ~TempDir() {
    // Make every folder writable again first, or a non-root run could not remove them.
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_directory(ec))
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string File(const std::string& name) const { return path_ + "/" + name; }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

inline void PutFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// The inode changes with every replacement, so an unchanged inode means "not written".
inline ino_t Inode(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// The configuration file the server writes on its first start.
inline const std::string kFirstStartFile =
    "[Version]\r\n"
    "ServerVersion=v1.2.2\r\n"
    "[Passwords]\r\n"
    "ServerPassword=\r\n"
    "AdminPassword=vimbo\r\n"
    "[General]\r\n"
    "Servername=Parleyvox Server\r\n"
    "MaxClients=16\r\n"
    "[Networking]\r\n"
    "TCPPort=8765\r\n"
    "IP=\r\n"
    "[Ping]\r\n"
    "MaxPingTries=3\r\n"
    "PingWaitTime=15000\r\n"
    "IdleTimeBeforePing=5000\r\n"
    "[WebStatus]\r\n"
    "Active=0\r\n"
    "ParleyvoxSite_Active=0\r\n"
    "ParleyvoxSite_DisplayInWebList=0\r\n"
    "WebPostURL=http://\r\n"
    "WebPostLinkUrl=http://www.parleyvox.example/\r\n";

// A hand-edited file of an older layout: comments, blank lines, [Channels] in the middle and a
// section of the operator's own at the end.
inline const std::string kOlderFile =
    "; Parleyvox server configuration\r\n"
    "; edited by hand\r\n"
    "\r\n"
    "[Version]\r\n"
    "ServerVersion=v1.2.0\r\n"
    "\r\n"
    "[Passwords]\r\n"
    "ServerPassword=secret\r\n"
    "AdminPassword=letmein\r\n"
    "\r\n"
    "[General]\r\n"
    "Servername=My Old Server\r\n"
    "MaxClients=32\r\n"
    "\r\n"
    "; rooms created at start-up\r\n"
    "[Channels]\r\n"
    "0=Lobby\r\n"
    "1=Music Room\r\n"
    "; 2=disabled room\r\n"
    "\r\n"
    "[Networking]\r\n"
    "TCPPort = 9000\r\n"
    "IP=\r\n"
    "\r\n"
    "[Ping]\r\n"
    "MaxPingTries=5\r\n"
    "PingWaitTime=15000\r\n"
    "IdleTimeBeforePing=5000\r\n"
    "\r\n"
    "[WebStatus]\r\n"
    "Active=1\r\n"
    "WebPostURL=example.org/post\r\n"
    "\r\n"
    "; local additions\r\n"
    "[Custom]\r\n"
    "Note=kept?\r\n";

// What is left of kOlderFile once the six rewritten sections are erased: the sections' header and
// key lines go; their comments and blank lines stay where they were.
inline const std::string kOlderFileErased =
    "; Parleyvox server configuration\r\n"
    "; edited by hand\r\n"
    "\r\n\r\n\r\n\r\n"
    "; rooms created at start-up\r\n"
    "[Channels]\r\n"
    "0=Lobby\r\n"
    "1=Music Room\r\n"
    "; 2=disabled room\r\n"
    "\r\n\r\n\r\n\r\n"
    "; local additions\r\n"
    "[Custom]\r\n"
    "Note=kept?\r\n";

}  // namespace pv::testing
