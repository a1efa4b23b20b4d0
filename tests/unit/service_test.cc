// What a service manager and an operator rely on: where the configuration file is looked up, the
// readiness datagrams on the socket the manager names, and the version text the program reports.
#include <gtest/gtest.h>

#include <cstdlib>

#include "core/platform.h"
#include "core/service_notify.h"
#include "shell/version_info.h"
#include "shell/version_record.h"
#include "support/loopback_sockets.h"
#include "support/server_process.h"

namespace pv {
namespace {

TEST(ConfigDirectory, HomeVariableReplacesTheProgramsFolder) {
  // A folder named without its last slash is what the service started by
  // tests/e2e/startup_test.cc meets; set but empty is taken as unset.
  const std::pair<const char*, std::string> cases[] = {
      {nullptr, ExecutableDir()},
      {"", ExecutableDir()},
      {"relative", "relative/"},
      {"/var/lib/parleyvox/eu/", "/var/lib/parleyvox/eu/"},
  };
  for (const auto& [home, dir] : cases) EXPECT_EQ(ConfigDirectory(home), dir) << (home ? home : "(unset)");
}

// A socket named by its path, and both messages, are tests/e2e/startup_test.cc's.
TEST(NotifyServiceManager, SendsADatagramToAnAbstractNameAndNothingWithoutAUsableName) {
  test::TempDir dir;
  std::string abstract_name = "@pv-notify-test-" + std::to_string(::getpid());
  test::Fd abstract = test::BindUnixDatagram(std::string(1, '\0') + abstract_name.substr(1));
  ASSERT_GE(abstract.Get(), 0);
  EXPECT_TRUE(NotifyServiceManager(abstract_name.c_str(), "READY=1"));
  EXPECT_EQ(test::ReceiveSome(abstract.Get(), 64, std::chrono::milliseconds(1000)), "READY=1");
  // Nothing to send to: no variable, an empty or relative name, a socket nobody holds, a name
  // too long for an address.
  for (const char* none : {static_cast<const char*>(nullptr), "", "@", "notify", "vsock:2:9"})
    EXPECT_FALSE(NotifyServiceManager(none, "READY=1")) << (none ? none : "(unset)");
  EXPECT_FALSE(NotifyServiceManager(dir.File("nobody").c_str(), "READY=1"));
  EXPECT_FALSE(NotifyServiceManager(("/" + std::string(200, 'x')).c_str(), "READY=1"));
}

// The build's record is 1.2.2.0 with the flags the build set (PARLEYVOX_FILE_FLAGS), whose
// texts follow the rules below.
TEST(VersionInfo, TheBuildsRecordReadsOneTwoTwoZeroAndTheBuildsFlags) {
  EXPECT_EQ(TVersionInfo().GetVersionText(),
            TVersionInfo(FixedFileInfo{(1u << 16) | 2u, 2u << 16, kRecordFileFlags, 0x3F}).GetVersionText());
}

// The halves of both words without leading zeros, then the flags the mask declares valid, in
// order, with the first letter raised.
TEST(VersionInfo, TextIsTheFourNumbersAndTheValidFlags) {
  const uint32_t v = (1u << 16) | 2u, r = 2u << 16, all = 0x3F;
  const std::pair<std::optional<FixedFileInfo>, const char*> cases[] = {
      {std::nullopt, "0.0.0.0 "},
      {FixedFileInfo{0xFFFF0000u, 0x0000FFFFu, 0, all}, "65535.0.0.65535 "},
      {FixedFileInfo{0x000A0007u, 0x01000010u, 0, all}, "10.7.256.16 "},
      {FixedFileInfo{v, r, kFileFlagDebug | kFileFlagPatched, all}, "1.2.2.0 Debug, patched"},
      {FixedFileInfo{v, r, kFileFlagPatched, all}, "1.2.2.0 Patched"},
      {FixedFileInfo{v, r, 0x2F, all}, "1.2.2.0 Debug, pre-release, patched, private build, special build"},
      {FixedFileInfo{v, r, kFileFlagSpecialBuild | kFileFlagPreRelease, all}, "1.2.2.0 Pre-release, special build"},
      // Set, but outside the mask: no flag text, and no trailing separator either.
      {FixedFileInfo{v, r, kFileFlagDebug | kFileFlagPatched, 0}, "1.2.2.0 "},
      {FixedFileInfo{v, r, kFileFlagDebug | kFileFlagPatched, kFileFlagPatched}, "1.2.2.0 Patched"},
      {FixedFileInfo{v, r, 0x10, all}, "1.2.2.0 "},  // a valid flag without a text of its own
  };
  for (const auto& [record, text] : cases) EXPECT_EQ(TVersionInfo(record).GetVersionText(), text);
}

}  // namespace
}  // namespace pv
