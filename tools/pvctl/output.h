// pvctl's two output forms: one JSON document, or aligned text tables. Texts from the server
// (names, versions) are whatever bytes players chose: JSON escapes every byte outside printable
// ASCII, and the text form shows control characters as '?', so a name cannot drive the
// operator's terminal. Thread rules: none (plain values).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pv::ctl {

// Builds one JSON document. Objects and arrays nest; commas are placed by the writer.
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

// A text as the terminal may show it: control characters become '?'.
std::string SafeText(const std::string& text);

// Milliseconds as h:mm:ss.
std::string FormatDuration(uint64_t ms);

// Columns padded to their widest cell, two blanks apart; no trailing blanks.
class Table {
 public:
  explicit Table(std::vector<std::string> headers) { rows_.push_back(std::move(headers)); }
  void Add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
  std::string Render() const;

 private:
  std::vector<std::vector<std::string>> rows_;
};

}  // namespace pv::ctl
