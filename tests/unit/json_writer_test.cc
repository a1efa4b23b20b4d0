// JSON documents stay valid whatever bytes a player put in a name.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "base/json_writer.h"

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

}  // namespace
}  // namespace pv
