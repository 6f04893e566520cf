// One HTTP exchange over libcurl's multi interface, driven by the calling
// thread. The only unit that includes the curl headers; everything the HTTP
// stack needs from libcurl goes through here.
//
// Threads: one thread drives a Transfer; interrupt() may be called from any
// thread while the Transfer exists.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qvcurl {

struct Request {
  std::string method;  // "GET", "POST" or "HEAD"
  std::string url;     // an http or https URL (checkUrl)
  std::vector<std::pair<std::string, std::string>> headers;  // in order
  std::string proxyHost;  // empty: connect directly
  int proxyPort = 0;
  long connectTimeoutMs = 30000;
  bool decodeContent = true;
  std::string extraCaFile;    // empty: the system CA store alone
  long long uploadSize = -1;  // POST body length; -1: unknown, sent chunked
};

// code is a Hivra::ErrorCode; 0 is success.
struct Outcome {
  int code = 0;
  std::string message;
  bool ok() const { return code == 0; }
};

class Transfer {
 public:
  // Received bytes kept before the transfer pauses.
  static constexpr std::size_t kReceiveWindow = 128 * 1024;
  // Limits of the response header block.
  static constexpr std::size_t kMaxHeaderBytes = 256 * 1024;
  static constexpr std::size_t kMaxHeaderLines = 500;

  // Null with a reason when libcurl cannot be set up.
  static std::unique_ptr<Transfer> create(std::string& error);
  ~Transfer();
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // Starts the request afresh (dropping any earlier attempt) and drives it
  // until the connection is up and the request is about to be written. A
  // failure here happened before anything was sent.
  Outcome start(const Request& request);
  // Hands length bytes of the POST body to the connection; blocks until
  // they are taken, the server answers early, or a failure.
  Outcome sendBody(const char* data, std::size_t length, long stallMs);
  // Marks the end of the POST body.
  void endBody();
  // Drives until the final response's header block is complete.
  Outcome waitForHeaders(long stallMs);
  int statusCode() const;
  // Header lines of the final response, without the status line and line
  // ends, as received.
  const std::vector<std::string>& headerLines() const;
  // The Content-Length of the response, -1 when unknown.
  long long contentLength() const;
  // Copies up to size body bytes; blocks until at least one, the end, or a
  // failure. got == 0 with success means the end of the body.
  Outcome read(char* buffer, std::size_t size, std::size_t& got, long stallMs);

  // Any thread: the blocked (and every later) drive returns
  // ERR_OPERATION_ABORTED at once.
  void interrupt();

  struct Impl;

 private:
  explicit Transfer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> mImpl;
};

// Initialises libcurl once per process (any thread); false with a reason
// when that failed.
bool initialise(std::string& error);

// Checks that url is an absolute http or https URL. Returns a Hivra error
// code (0 when usable) and, on failure, a reason.
int checkUrl(const std::string& url, std::string& reason);

// Resolves reference against base (RFC 3986); false with a reason when it
// does not give a URL.
bool resolveReference(const std::string& base, const std::string& reference, std::string& result,
                      std::string& reason);

// The origin of an http or https URL as "scheme://host:port", scheme and
// host in lower case, the port made explicit. False for any other URL.
bool originOf(const std::string& url, std::string& origin);

}  // namespace qvcurl
