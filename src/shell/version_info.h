// TVersionInfo: the program's file version and flags, and the text the About window shows.
// Plain code without any GUI, so it is tested in every build. Values only; no thread rules.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pv {

// File flag bits of a version record.
constexpr uint32_t kFileFlagDebug = 0x01;
constexpr uint32_t kFileFlagPreRelease = 0x02;
constexpr uint32_t kFileFlagPatched = 0x04;
constexpr uint32_t kFileFlagPrivateBuild = 0x08;
constexpr uint32_t kFileFlagSpecialBuild = 0x20;

// The fixed part of a version record.
struct FixedFileInfo {
  uint32_t FileVersionMS = 0;  // major << 16 | minor
  uint32_t FileVersionLS = 0;  // release << 16 | build
  uint32_t FileFlags = 0;
  uint32_t FileFlagsMask = 0;
};

// The record the build wrote for this program: 1.2.2.0 with no flags unless the build set some.
FixedFileInfo ProgramVersionRecord();

class TVersionInfo {
 public:
  // Reads the program's own record.
  TVersionInfo();
  // A given record, or none: without a record every number reads 0.
  explicit TVersionInfo(std::optional<FixedFileInfo> record);

  bool HasRecord() const { return record_.has_value(); }
  const FixedFileInfo& Fixed() const { return fixed_; }

  // "major.minor.release.build " followed by the flags that are set and valid in the mask,
  // as in "1.2.2.0 Debug, patched". The blank after the numbers is always there.
  std::string GetVersionText() const;

 private:
  std::optional<FixedFileInfo> record_;
  FixedFileInfo fixed_;
};

}  // namespace pv
