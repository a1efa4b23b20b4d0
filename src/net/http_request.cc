#include "net/http_request.h"

#include <strings.h>

#include <string>

namespace pv {

namespace {

// The length of the scheme and its "://" when `url` starts with `scheme` in any letter case, else 0.
size_t SchemeLength(const std::string& url, const char* scheme) {
  size_t length = std::char_traits<char>::length(scheme);
  return url.size() >= length && strncasecmp(url.c_str(), scheme, length) == 0 ? length : 0;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

uint16_t ParsePort(const std::string& text) {
  if (text.empty() || text.size() > 5) throw EHttpUrlError();
  uint32_t port = 0;
  for (char c : text) {
    if (c < '0' || c > '9') throw EHttpUrlError();
    port = port * 10 + static_cast<uint32_t>(c - '0');
  }
  if (port == 0 || port > 65535) throw EHttpUrlError();
  return static_cast<uint16_t>(port);
}

std::string DecodeEscapes(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

bool NeedsEscape(unsigned char c) {
  return c == '%' || c == '*' || c == '<' || c == '>' || c >= 0x80 || c < 0x20 || c == 0x7F;
}

}  // namespace

HttpUrl ParseHttpUrl(const std::string& url) {
  HttpUrl result;
  size_t scheme_length = SchemeLength(url, "http://");
  if (scheme_length == 0) {
    scheme_length = SchemeLength(url, "https://");
    if (scheme_length == 0) throw EHttpUrlError();
    result.Tls = true;
    result.Port = 443;
  }
  size_t authority_end = url.find_first_of("/?", scheme_length);
  if (authority_end == std::string::npos) authority_end = url.size();
  std::string authority = url.substr(scheme_length, authority_end - scheme_length);
  size_t colon = authority.find(':');
  result.Host = authority.substr(0, colon);
  if (colon != std::string::npos) result.Port = ParsePort(authority.substr(colon + 1));
  if (result.Host.empty()) throw EHttpUrlError();
  result.Target = url.substr(authority_end);
  if (result.Target.empty() || result.Target[0] != '/') result.Target = "/" + result.Target;
  return result;
}

std::string EncodeRequestTarget(const std::string& target) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : DecodeEscapes(target)) {
    auto byte = static_cast<unsigned char>(c);
    if (c == ' ') {
      out += '+';
    } else if (NeedsEscape(byte)) {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    } else {
      out += c;
    }
  }
  return out;
}

std::vector<std::string> PostHeaderLines(const HttpUrl& url) {
  return {"Host: " + url.Host, "Accept: text/html, */*", "User-Agent: Mozilla/3.0 (compatible; Indy Library)"};
}

int ParseStatusCode(const std::string& status_line) {
  // "HTTP/" version, one space, three digits, then the end or a space and the reason.
  size_t space = status_line.find(' ');
  bool ok = status_line.compare(0, 5, "HTTP/") == 0 && space != std::string::npos &&
            status_line.size() >= space + 4 &&
            (status_line.size() == space + 4 || status_line[space + 4] == ' ');
  int code = 0;
  for (size_t i = space + 1; ok && i < space + 4; ++i) {
    char c = status_line[i];
    if (c < '0' || c > '9') ok = false;
    code = code * 10 + (c - '0');
  }
  if (!ok) throw EIdProtocolReplyError(status_line);
  return code;
}

}  // namespace pv
