#include "shell/version_info.h"

#include <gtest/gtest.h>

namespace pv {
namespace {

FixedFileInfo Record(uint32_t ms, uint32_t ls, uint32_t flags = 0, uint32_t mask = 0x3F) {
  return FixedFileInfo{ms, ls, flags, mask};
}

TEST(VersionInfo, TheBuildsRecordReadsOneTwoTwoZeroWithTheTrailingBlank) {
  TVersionInfo info;
  EXPECT_TRUE(info.HasRecord());
  EXPECT_EQ(info.Fixed().FileVersionMS, (1u << 16) | 2u);
  EXPECT_EQ(info.Fixed().FileVersionLS, 2u << 16);
  EXPECT_EQ(info.GetVersionText(), "1.2.2.0 ");
}

TEST(VersionInfo, WithoutARecordEveryNumberIsZero) {
  TVersionInfo info(std::nullopt);
  EXPECT_FALSE(info.HasRecord());
  EXPECT_EQ(info.GetVersionText(), "0.0.0.0 ");
}

TEST(VersionInfo, NumbersAreTheHalvesOfBothWordsWithoutLeadingZeros) {
  EXPECT_EQ(TVersionInfo(Record(0xFFFF0000u, 0x0000FFFFu)).GetVersionText(), "65535.0.0.65535 ");
  EXPECT_EQ(TVersionInfo(Record(0x000A0007u, 0x01000010u)).GetVersionText(), "10.7.256.16 ");
}

TEST(VersionInfo, FlagsAreListedInOrderWithTheFirstLetterRaised) {
  const uint32_t v = (1u << 16) | 2u, r = 2u << 16;
  EXPECT_EQ(TVersionInfo(Record(v, r, kFileFlagDebug | kFileFlagPatched)).GetVersionText(), "1.2.2.0 Debug, patched");
  EXPECT_EQ(TVersionInfo(Record(v, r, kFileFlagPatched)).GetVersionText(), "1.2.2.0 Patched");
  EXPECT_EQ(TVersionInfo(Record(v, r, 0x2F)).GetVersionText(),
            "1.2.2.0 Debug, pre-release, patched, private build, special build");
  EXPECT_EQ(TVersionInfo(Record(v, r, kFileFlagSpecialBuild | kFileFlagPreRelease)).GetVersionText(),
            "1.2.2.0 Pre-release, special build");
}

TEST(VersionInfo, OnlyFlagsTheMaskDeclaresValidCount) {
  const uint32_t v = (1u << 16) | 2u, r = 2u << 16;
  // Set, but outside the mask: no flag text, and no trailing separator either.
  EXPECT_EQ(TVersionInfo(Record(v, r, kFileFlagDebug | kFileFlagPatched, 0)).GetVersionText(), "1.2.2.0 ");
  EXPECT_EQ(TVersionInfo(Record(v, r, kFileFlagDebug | kFileFlagPatched, kFileFlagPatched)).GetVersionText(),
            "1.2.2.0 Patched");
  // 0x10 is a valid flag without a text of its own.
  EXPECT_EQ(TVersionInfo(Record(v, r, 0x10)).GetVersionText(), "1.2.2.0 ");
}

}  // namespace
}  // namespace pv
