// The text side of the listing post's HTTP/1.0 request: splitting an http URL, the request
// target as it goes on the wire, the request itself, and the reading of a response's status
// line. The sockets are in net/http_client.h.
// Thread rules: none (plain functions).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/errors.h"

namespace pv {

// The answer of a listing service was not a success (status outside 200..299, a redirection,
// or not a status line at all). The message is the status line as received.
PV_DECLARE_ERROR(EIdProtocolReplyError, "");
// A URL the post cannot use: neither http nor https, no host, a port that is not 1..65535.
PV_DECLARE_ERROR(EHttpUrlError, "Invalid URL");

struct HttpUrl {
  bool Tls = false;  // "https://": the post goes over TLS
  std::string Host;
  uint16_t Port = 80;
  // The path and the query as written in the URL, "/" when it names no path.
  std::string Target;
};

// Splits "http://host[:port][/path][?query]" or the same with "https://" (the scheme in any
// letter case; the port is 80 or 443 when none is named). Everything after
// the host and port belongs to the target, a "#" included: listing queries carry player names
// as they are, and a name with "#" would otherwise lose the rest of the query.
HttpUrl ParseHttpUrl(const std::string& url);

// The target as sent: escapes in the URL are decoded first ("+" is a space, "%" and two hex
// digits the byte they give; a "%" without them stays a "%"), then spaces go as "+", and "%",
// "*", "<", ">" and bytes from 0x80 up as "%" and two upper-case hex digits. Control bytes
// (below 0x20, and 0x7F) go as "%XX" too, so a name can never break the request line.
std::string EncodeRequestTarget(const std::string& target);

// The header lines of one post, in the order they are sent after the request line: Host (the
// host alone, without the port), Accept, User-Agent. There is no body, so no Content-Length or
// Content-Type, and nothing else.
std::vector<std::string> PostHeaderLines(const HttpUrl& url);

// The status code of a status line such as "HTTP/1.1 404 Not Found". A line that is not a
// status line raises EIdProtocolReplyError with the line.
int ParseStatusCode(const std::string& status_line);

}  // namespace pv
