// What a service manager relies on: where the configuration file is looked up, and the
// readiness datagrams on the socket the manager names.
#include <gtest/gtest.h>

#include <cstdlib>

#include "core/platform.h"
#include "core/service_notify.h"
#include "support/loopback_sockets.h"
#include "support/server_process.h"

namespace pv {
namespace {

TEST(ConfigDirectory, HomeVariableReplacesTheProgramsFolder) {
  const std::pair<const char*, std::string> cases[] = {
      {nullptr, ExecutableDir()},
      {"", ExecutableDir()},
      {"/var/lib/parleyvox", "/var/lib/parleyvox/"},
      {"/var/lib/parleyvox/eu/", "/var/lib/parleyvox/eu/"},
      {"relative", "relative/"},
  };
  for (const auto& [home, dir] : cases) EXPECT_EQ(ConfigDirectory(home), dir) << (home ? home : "(unset)");
}

TEST(NotifyServiceManager, SendsOneDatagramToAPathOrAnAbstractName) {
  test::TempDir dir;
  test::Fd by_path = test::BindUnixDatagram(dir.File("notify"));
  ASSERT_GE(by_path.Get(), 0);
  std::string abstract_name = "@pv-notify-test-" + std::to_string(::getpid());
  test::Fd abstract = test::BindUnixDatagram(std::string(1, '\0') + abstract_name.substr(1));
  ASSERT_GE(abstract.Get(), 0);
  const std::pair<std::string, int> sent[] = {{dir.File("notify"), by_path.Get()}, {abstract_name, abstract.Get()}};
  for (const auto& [name, fd] : sent) {
    EXPECT_TRUE(NotifyServiceManager(name.c_str(), "READY=1")) << name;
    EXPECT_TRUE(NotifyServiceManager(name.c_str(), "STOPPING=1")) << name;
    EXPECT_EQ(test::ReceiveSome(fd, 64, std::chrono::milliseconds(1000)), "READY=1") << name;
    EXPECT_EQ(test::ReceiveSome(fd, 64, std::chrono::milliseconds(1000)), "STOPPING=1") << name;
  }
  // Nothing to send to: no variable, an empty or relative name, a socket nobody holds, a name
  // too long for an address.
  for (const char* none : {static_cast<const char*>(nullptr), "", "@", "notify", "vsock:2:9"})
    EXPECT_FALSE(NotifyServiceManager(none, "READY=1")) << (none ? none : "(unset)");
  EXPECT_FALSE(NotifyServiceManager(dir.File("nobody").c_str(), "READY=1"));
  EXPECT_FALSE(NotifyServiceManager(("/" + std::string(200, 'x')).c_str(), "READY=1"));
  EXPECT_EQ(test::ReceiveSome(by_path.Get(), 64, std::chrono::milliseconds(0)), "");
}

}  // namespace
}  // namespace pv
