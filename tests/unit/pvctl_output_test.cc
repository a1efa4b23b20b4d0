// pvctl's text form never passes control characters to the operator's terminal.
#include <gtest/gtest.h>

#include "pvctl/output.h"

namespace pv::ctl {
namespace {

TEST(PvctlOutput, TextFormsAreSafeAndAligned) {
  EXPECT_EQ(SafeText(std::string("a\x1b[31m\tb\x9b" "c\xe9", 11)), "a?[31m?b?c\xe9");
  EXPECT_EQ(FormatDuration(0), "0:00:00");
  EXPECT_EQ(FormatDuration(3723999), "1:02:03");
  EXPECT_EQ(FormatDuration(86399000), "23:59:59");
  Table t({"ID", "NAME"});
  t.Add({"12", "x"});
  t.Add({"3", "longer"});
  EXPECT_EQ(t.Render(), "ID  NAME\n12  x\n3   longer\n");
}

}  // namespace
}  // namespace pv::ctl
