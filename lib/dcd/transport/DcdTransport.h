// The DCD transport interface: carries one request data block to the content
// server (or answers it from local files) and brings back the status code,
// the response headers and the response body.
//
// The transaction (txn/Transaction.h) fills the request side (headers through
// setHeaders, the body through setRequestBody), calls send and reads the
// response fields; the engine sets url, method, profileNames, timeoutMinutes
// and enableGzip before that. The fields are public for that reason.
//
// Threads: send, setHeaders, setRequestBody and every field belong to the one
// thread that runs the exchange (the engine's worker thread). cancel and
// clearCancel may be called from any thread at any time; implementations
// make them safe against a blocked send.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace txn {
class Request;
class Session;
}  // namespace txn

class DcdTransport {
 public:
  // Results of send. 1 is never produced by a transport (the transaction
  // uses it for a request it could not prepare).
  static constexpr int SEND_SUCCESS = 0;
  static constexpr int SEND_FAILURE = 2;
  static constexpr int SEND_CANCELLED = 3;

  enum Method { GET = 0, POST = 1 };

  // Header maps, ordered by key (byte order), one value per key.
  using HeaderMap = std::map<std::string, std::string>;

  DcdTransport() = default;
  DcdTransport(const DcdTransport&) = delete;
  DcdTransport& operator=(const DcdTransport&) = delete;
  virtual ~DcdTransport();

  // Performs the exchange; SEND_SUCCESS, SEND_FAILURE or SEND_CANCELLED.
  [[nodiscard]] virtual int send() = 0;
  // Fills headers with the request headers for request, reading the session
  // store's attributes. The base sets nothing.
  virtual void setHeaders(HeaderMap& headers, const txn::Request& request, const txn::Session& session);
  // The headers that say what kind of request this is, shared by every
  // transport: a data request (by ids or by URL) gets "X-FL-RequestType:
  // data", one by ids also "X-FL-Request-Id" with its ids joined by commas
  // (none, logged, when it lists no ids); every other request gets the DCD
  // XML content type.
  static void setRequestKindHeaders(HeaderMap& headers, const txn::Request& request);
  // Ends the pending exchange (any thread); whether the cancellation was
  // accepted.
  [[nodiscard]] virtual bool cancel() = 0;
  // Forgets a cancellation that was meant for an earlier exchange, so that
  // the next send runs. The transaction calls it, serialised with its own
  // cancel, just before send. The base does nothing.
  virtual void clearCancel();

  // Copies length bytes of data into a new body with strncpy rules: copying
  // stops at a NUL byte and the rest of the body is zero-filled. A negative
  // length, or null data with a positive length, leaves no body (logged).
  void setRequestBody(const char* data, int32_t length);
  // No body: body null, bodyLength -1.
  void clearRequestBody();
  // Forgets the last response: statusCode and responseLength -1, no
  // responseBody, no responseHeaders.
  void clearResponse();

  // Request side.
  HeaderMap mRequestHeaders;
  std::string mUrl;                        // target URL; send may rewrite it (redirects)
  std::vector<std::string> mProfileNames;  // network connection profiles, tried in order
  std::unique_ptr<char[]> mBody;           // request body, or none
  int32_t mBodyLength = -1;
  int32_t mTimeoutMinutes = -1;  // connection and response time-out; 0 or less: the stack's default
  bool mEnableGzip = true;       // gzip content decoding of the answer
  int mMethod = GET;             // a Method value
  // Whether the session id and the subscriber's number (MSISDN) go with the
  // request; false for a URL outside the configured server's origin.
  bool mSendCredentials = true;

  // Response side, of the last exchange.
  int32_t mStatusCode = -1;
  std::unique_ptr<char[]> mResponseBody;  // NUL-terminated, or none
  int32_t mResponseLength = -1;           // without the terminator
  HeaderMap mResponseHeaders;
};
