// JsonWriter: builds one JSON document, for pvctl's --json output and the monitoring endpoint's
// /status.json. The protocol's texts are single-byte characters of any value: every byte outside
// printable ASCII is escaped as \u00XX (bytes of 0x80 and above read as Latin-1), so the
// document is valid UTF-8 whatever a player put in a name. Thread rules: none (plain values).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pv {

// Objects and arrays nest; commas are placed by the writer.
class JsonWriter {
 public:
  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  // The key of the next value inside an object.
  JsonWriter& Key(const std::string& key);
  JsonWriter& String(const std::string& value);
  JsonWriter& Number(int64_t value);
  JsonWriter& Double(double value);
  JsonWriter& Bool(bool value);
  JsonWriter& Null();
  const std::string& Text() const { return out_; }

 private:
  void BeforeValue();
  std::string out_;
  std::vector<bool> first_;  // per open container: no element written yet
  bool after_key_ = false;
};

// A JSON string literal; bytes of 0x80 and above are taken as Latin-1 characters (\u00XX), as
// the protocol's texts are single-byte.
std::string JsonQuote(const std::string& text);

}  // namespace pv
