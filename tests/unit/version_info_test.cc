#include "shell/version_info.h"

#include <gtest/gtest.h>

#include "shell/version_record.h"

namespace pv {
namespace {

// The build's record is 1.2.2.0 with the flags the build set (PARLEYVOX_FILE_FLAGS), whose
// texts follow the rules below.
TEST(VersionInfo, TheBuildsRecordReadsOneTwoTwoZeroAndTheBuildsFlags) {
  TVersionInfo info;
  EXPECT_TRUE(info.HasRecord());
  EXPECT_EQ(info.Fixed().FileFlags, kRecordFileFlags);
  EXPECT_EQ(info.GetVersionText(),
            TVersionInfo(FixedFileInfo{(1u << 16) | 2u, 2u << 16, kRecordFileFlags, 0x3F}).GetVersionText());
  EXPECT_EQ(info.GetVersionText().rfind("1.2.2.0 ", 0), 0u);
  EXPECT_FALSE(TVersionInfo(std::nullopt).HasRecord());
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
