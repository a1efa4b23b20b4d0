#include "shell/version_info.h"

#include "base/ascii.h"
#include "base/printf.h"
#include "shell/version_record.h"

namespace pv {

FixedFileInfo ProgramVersionRecord() {
  return FixedFileInfo{kRecordFileVersionMS, kRecordFileVersionLS, kRecordFileFlags, kRecordFileFlagsMask};
}

TVersionInfo::TVersionInfo() : TVersionInfo(ProgramVersionRecord()) {}

TVersionInfo::TVersionInfo(std::optional<FixedFileInfo> record)
    : record_(record), fixed_(record.value_or(FixedFileInfo{})) {}

std::string TVersionInfo::GetVersionText() const {
  static constexpr struct {
    uint32_t bit;
    const char* text;
  } kFlagTexts[] = {{kFileFlagDebug, "debug, "},
                    {kFileFlagPreRelease, "pre-release, "},
                    {kFileFlagPatched, "patched, "},
                    {kFileFlagPrivateBuild, "private build, "},
                    {kFileFlagSpecialBuild, "special build, "}};
  // Only flags the mask declares valid count.
  uint32_t flags = fixed_.FileFlags & fixed_.FileFlagsMask;
  std::string flag_text;
  for (const auto& entry : kFlagTexts)
    if (flags & entry.bit) flag_text += entry.text;
  if (!flag_text.empty()) {
    flag_text[0] = AsciiUpper(flag_text[0]);
    flag_text.resize(flag_text.size() - 2);
  }
  return Printf("%u.%u.%u.%u ", fixed_.FileVersionMS >> 16, fixed_.FileVersionMS & 0xFFFFu,
                fixed_.FileVersionLS >> 16, fixed_.FileVersionLS & 0xFFFFu) +
         flag_text;
}

}  // namespace pv
