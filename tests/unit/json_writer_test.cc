// JSON documents stay valid, and pvctl's text form never passes control characters to the
// operator's terminal, whatever bytes a player put in a name.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "base/json_writer.h"
#include "pvctl/output.h"

namespace pv {
namespace {

TEST(JsonWriter, JsonQuoteEscapesEveryUnsafeByte) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"alice", "\"alice\""},
      {"say \"hi\"", R"("say \"hi\"")"},
      {"back\\slash", R"("back\\slash")"},
      {std::string("nul\0x", 5), R"("nul\u0000x")"},
      {"\x1b[2J\n", R"("\u001b[2J\u000a")"},
      {"caf\xe9", R"("caf\u00e9")"},  // a single-byte text taken as Latin-1
      {"\x7f", R"("\u007f")"},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(JsonQuote(in), want);
}

TEST(JsonWriter, JsonWriterPlacesCommasInNestedContainers) {
  JsonWriter w;
  w.BeginObject().Key("a").BeginArray();
  w.BeginObject().Key("id").Number(1).Key("ok").Bool(true).EndObject();
  w.BeginObject().Key("id").Number(-2).Key("v").Null().EndObject();
  w.EndArray().Key("loss").Double(12.345).Key("empty").BeginArray().EndArray().EndObject();
  EXPECT_EQ(w.Text(), R"({"a":[{"id":1,"ok":true},{"id":-2,"v":null}],"loss":12.35,"empty":[]})");
}

TEST(PvctlOutput, TextFormsAreSafeAndAligned) {
  EXPECT_EQ(ctl::SafeText(std::string("a\x1b[31m\tb\x9b" "c\xe9", 11)), "a?[31m?b?c\xe9");
  EXPECT_EQ(ctl::FormatDuration(0), "0:00:00");
  EXPECT_EQ(ctl::FormatDuration(3723999), "1:02:03");
  EXPECT_EQ(ctl::FormatDuration(86399000), "23:59:59");
  ctl::Table t({"ID", "NAME"});
  t.Add({"12", "x"});
  t.Add({"3", "longer"});
  EXPECT_EQ(t.Render(), "ID  NAME\n12  x\n3   longer\n");
}

}  // namespace
}  // namespace pv
