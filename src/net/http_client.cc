#include "net/http_client.h"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "base/date_time.h"
#include "net/net_errors.h"
#include "net/socket_address.h"

namespace pv {

namespace {

// How often a wait looks at the stop check.
constexpr std::chrono::milliseconds kStopCheckStep{100};
// An answer whose header is larger than this is not a listing service's.
constexpr size_t kMaxHeaderBytes = 65536;

std::string WithoutLineEnd(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

bool IsTlsFailure(CURLcode result) {
  switch (result) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE:
      return true;
    default:
      return false;
  }
}

}  // namespace

// The curl handles and what the callbacks learnt of one post.
struct HttpClient::Transfer {
  CURL* easy = curl_easy_init();
  CURLM* multi = curl_multi_init();
  curl_slist* headers = nullptr;
  bool added = false;
  char error[CURL_ERROR_SIZE] = {};
  std::string status_line;   // the latest status line received
  size_t header_bytes = 0;
  bool answered = false;     // the header of a final answer is complete
  bool oversized = false;    // the header outgrew kMaxHeaderBytes
  std::string bare_answer;   // the first bytes of an answer without a status line

  ~Transfer() {
    if (added) curl_multi_remove_handle(multi, easy);
    curl_easy_cleanup(easy);
    curl_multi_cleanup(multi);
    curl_slist_free_all(headers);
  }

  // One header line of the answer. Returning less than `size` ends the transfer, which is how
  // the body is left unread once the final answer's header is complete.
  static size_t OnHeader(char* data, size_t one, size_t size, void* self) {
    auto& transfer = *static_cast<Transfer*>(self);
    size *= one;
    transfer.header_bytes += size;
    if (transfer.header_bytes > kMaxHeaderBytes) {
      transfer.oversized = true;
      return 0;
    }
    std::string line = WithoutLineEnd(std::string(data, size));
    if (line.compare(0, 5, "HTTP/") == 0) {
      transfer.status_line = line;
    } else if (line.empty() && !transfer.status_line.empty()) {
      // The end of a header block; an interim 100 is followed by the final answer. A line
      // that is no status line is judged (and refused) once the transfer has ended.
      int code = 0;
      try {
        code = ParseStatusCode(transfer.status_line);
      } catch (const Error&) {
      }
      if (code == 100) return size;
      transfer.answered = true;
      return 0;
    }
    return size;
  }

  // Body bytes arrive only from an answer without a status line: its first line is kept for
  // the error, and the transfer ends once it is complete.
  static size_t OnBody(char* data, size_t one, size_t size, void* self) {
    auto& transfer = *static_cast<Transfer*>(self);
    size *= one;
    transfer.bare_answer.append(data, std::min(size, kMaxHeaderBytes));
    bool complete = transfer.bare_answer.find('\n') != std::string::npos ||
                    transfer.bare_answer.size() >= kMaxHeaderBytes;
    return complete ? 0 : size;
  }
};

HttpClient::HttpClient() {
  // Once per process, before the first handle; later calls find it done.
  static const bool kCurlReady = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  (void)kCurlReady;
}

HttpClient::~HttpClient() { Disconnect(); }

void HttpClient::Post(const std::string& url) {
  Disconnect();
  HttpUrl parsed = ParseHttpUrl(url);
  try {
    transfer_ = std::make_unique<Transfer>();
    if (transfer_->easy == nullptr || transfer_->multi == nullptr) throw EHttpTransferError("Out of memory");
    Configure(parsed);
    int result = Perform();
    Transfer& done = *transfer_;
    if (done.answered || (result == CURLE_OK && !done.status_line.empty())) {
      int code = ParseStatusCode(done.status_line);
      if (code < 200 || code > 299) throw EIdProtocolReplyError(done.status_line);
    } else if (done.oversized) {
      throw EIdProtocolReplyError(done.status_line);
    } else if (!done.bare_answer.empty()) {
      throw EIdProtocolReplyError(WithoutLineEnd(done.bare_answer.substr(0, done.bare_answer.find('\n'))));
    } else {
      RaiseFailure(result);
    }
  } catch (...) {
    Disconnect();
    throw;
  }
  Disconnect();
}

void HttpClient::Disconnect() noexcept { transfer_.reset(); }

void HttpClient::Configure(const HttpUrl& url) {
  Transfer& t = *transfer_;
  CURL* easy = t.easy;
  auto set = [](CURLcode result) {
    if (result != CURLE_OK) throw EHttpTransferError(curl_easy_strerror(result));
  };
  for (const std::string& line : PostHeaderLines(url)) {
    curl_slist* longer = curl_slist_append(t.headers, line.c_str());
    if (longer == nullptr) throw EHttpTransferError("Out of memory");
    t.headers = longer;
  }
  std::string base = (url.Tls ? "https://" : "http://") + url.Host + ":" + std::to_string(url.Port) + "/";
  std::string target = EncodeRequestTarget(url.Target);
  set(curl_easy_setopt(easy, CURLOPT_URL, base.c_str()));
  // The target goes on the request line exactly as encoded here ("#" included).
  set(curl_easy_setopt(easy, CURLOPT_REQUEST_TARGET, target.c_str()));
  // A POST without a body: no Content-Length, no Content-Type.
  set(curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "POST"));
  set(curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0)));
  // Host, Accept and User-Agent from the list replace curl's own, in the list's order.
  set(curl_easy_setopt(easy, CURLOPT_HTTPHEADER, t.headers));
  set(curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https"));
  set(curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L));
  set(curl_easy_setopt(easy, CURLOPT_PROXY, ""));  // no proxy from the environment
  set(curl_easy_setopt(easy, CURLOPT_IPRESOLVE, static_cast<long>(CURL_IPRESOLVE_V4)));
  set(curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L));
  set(curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L));
  set(curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L));
  set(curl_easy_setopt(easy, CURLOPT_HTTP09_ALLOWED, 1L));  // so an answer without a status line is seen
  set(curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connect_timeout_.count())));
  // Perform watches the wait for the answer; this bounds the whole post should it not.
  set(curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>((connect_timeout_ + read_timeout_).count())));
  set(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L));
  set(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L));
  if (!ca_file_.empty()) set(curl_easy_setopt(easy, CURLOPT_CAINFO, ca_file_.c_str()));
  if (!bound_ip_.empty()) {
    in_addr local = ResolveBindAddress(bound_ip_);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &local, text, sizeof text);
    std::string interface = std::string("host!") + text;
    set(curl_easy_setopt(easy, CURLOPT_INTERFACE, interface.c_str()));
  }
  set(curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, t.error));
  set(curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader));
  set(curl_easy_setopt(easy, CURLOPT_HEADERDATA, &t));
  set(curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::OnBody));
  set(curl_easy_setopt(easy, CURLOPT_WRITEDATA, &t));
}

int HttpClient::Perform() {
  Transfer& t = *transfer_;
  if (curl_multi_add_handle(t.multi, t.easy) != CURLM_OK) throw EHttpTransferError("Out of memory");
  t.added = true;
  bool request_sent = false;
  SteadyTime answer_deadline{};
  for (;;) {
    int running = 0;
    if (curl_multi_perform(t.multi, &running) != CURLM_OK) throw EHttpTransferError("Out of memory");
    if (running == 0) break;
    if (StopRequested()) throw EIdSocketError(ECANCELED);
    if (!request_sent) {
      // Connected (TLS handshake included) once the transfer proper has begun; from then on
      // the answer has its own wait.
      curl_off_t pretransfer = 0;
      curl_easy_getinfo(t.easy, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
      if (pretransfer > 0) {
        request_sent = true;
        answer_deadline = SteadyNow() + read_timeout_;
      }
    } else if (SteadyNow() >= answer_deadline) {
      throw EIdSocketError(ETIMEDOUT);
    }
    curl_multi_poll(t.multi, nullptr, 0, static_cast<int>(kStopCheckStep.count()), nullptr);
  }
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(t.multi, &left)) {
    if (message->msg == CURLMSG_DONE) return message->data.result;
  }
  throw EHttpTransferError("Transfer ended without a result");
}

void HttpClient::RaiseFailure(int result) {
  Transfer& t = *transfer_;
  auto code = static_cast<CURLcode>(result);
  std::string reason = t.error[0] != '\0' ? std::string(t.error) : curl_easy_strerror(code);
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      throw EIdSocketError(ETIMEDOUT);
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_OK:  // closed in the middle of the header
      throw EIdConnClosedGracefully();
    case CURLE_COULDNT_RESOLVE_HOST:
      throw EIdSocketError(EHOSTUNREACH, reason);
    default:
      break;
  }
  if (IsTlsFailure(code)) throw EHttpTlsError(reason);
  long os_error = 0;
  curl_easy_getinfo(t.easy, CURLINFO_OS_ERRNO, &os_error);
  if (os_error != 0) throw EIdSocketError(static_cast<int>(os_error));
  throw EHttpTransferError(reason);
}

}  // namespace pv
