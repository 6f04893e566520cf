// HTTP/1.1 request parsing of nr-testserver: the request head (request line
// and header fields) and the body framing (Content-Length or chunked), with
// bounds on every size. Also the small text helpers the server shares:
// case-insensitive comparison, percent-decoding, JSON strings and base64
// for the request log.
//
// Threads: pure functions and plain values; any thread may use them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace testserver {

struct Header {
  std::string name;
  std::string value;
};

struct Request {
  std::string method;
  std::string target;  // request-target exactly as sent
  std::string path;    // its path, without query; for an absolute-form target the URL's path
  std::string version;
  std::vector<Header> headers;  // in the order received
  std::string body;             // after chunked decoding

  // Value of the first header with this name (ignoring case), or null.
  const std::string* header(const std::string& name) const;
};

// Bounds of what a request may hold.
constexpr std::size_t kMaxHeadBytes = 64 * 1024;
constexpr std::size_t kMaxHeaderCount = 128;
constexpr std::size_t kMaxChunkLine = 1024;

// Position just after the blank line ending the head in data (CRLF CRLF or
// bare LF LF), or std::string::npos when the head is not complete yet.
std::size_t findHeadEnd(const std::string& data);

// Parses a complete head (request line and header lines, including the
// terminating blank line). 0 on success, else the HTTP status to refuse the
// request with (400, 431, 501 or 505).
int parseHead(const std::string& head, Request& out);

struct BodyFraming {
  enum Kind { kNone, kLength, kChunked } kind = kNone;
  std::size_t length = 0;  // for kLength
  int error = 0;           // HTTP status when the framing is refused
};

// Reads Content-Length / Transfer-Encoding. A length over maxBody gives 413.
BodyFraming bodyFraming(const Request& request, std::size_t maxBody);

// Incremental decoder of a chunked body. feed() is given the whole raw body
// received so far (it remembers how far it got) and returns 0 while more is
// needed or when done (see done()), or an HTTP error status.
class ChunkedDecoder {
 public:
  explicit ChunkedDecoder(std::size_t maxBody) : mMaxBody(maxBody) {}
  int feed(const std::string& raw, std::string& body);
  bool done() const { return mDone; }
  // Bytes of raw consumed, once done.
  std::size_t consumed() const { return mPos; }

 private:
  std::size_t mMaxBody;
  std::size_t mPos = 0;
  bool mDone = false;
  bool mInTrailers = false;
};

bool equalsIgnoreCase(const std::string& a, const std::string& b);
// True when haystack contains needle, ignoring ASCII case.
bool containsIgnoreCase(const std::string& haystack, const std::string& needle);
std::string trim(const std::string& s);

// Percent-decoding of a path segment; false on a malformed escape.
bool percentDecode(const std::string& in, std::string& out);

bool isValidUtf8(const std::string& s);
// A JSON string literal (with quotes). Bytes that are not valid UTF-8 are
// written as \u00XX, i.e. read as Latin-1.
std::string jsonString(const std::string& s);
std::string base64(const std::string& data);

// Reason phrase for a status code ("Unknown" for codes without one).
const char* reasonPhrase(int status);

}  // namespace testserver
