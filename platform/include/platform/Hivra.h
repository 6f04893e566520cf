// Hivra, the platform's HTTP stack: agents, synchronized transactions,
// headers, connection profiles, certificate responses and errors.
//
// One transaction is one HTTP/1.1 exchange, driven step by step by the
// calling thread, which blocks in each step until it is done:
//
//   Agent* agent = Agent::create(profile, Headers(), error);
//   Transaction* t = agent->createSynchronizedTransaction("POST", url, error);
//   t->setRequestHeaders(headers, error);
//   t->sendRequestHeaders(error);            // connects, tries profile entries
//   t->sendRequestBody(data, n, error);      // as many pieces as needed
//   t->sendRequestBody(nullptr, 0, error);   // ends the body
//   int status = t->receiveStatus(error);
//   const Headers* h = t->receiveResponseHeaders(error);
//   while ((n = t->readBody(buf, sizeof buf, error)) > 0) ...;
//   // error.code() == ERR_END_OF_BODY: the whole body was read
//   agent->destroyTransaction(t, error);
//   Agent::destroy(agent, error);
//
// Streaming: the body comes in the pieces the caller asks for. The stack
// keeps at most a small window (about 128 KiB) of received bytes; when the
// caller does not read, the transfer pauses and the server is held back by
// TCP. Nothing here buffers a whole body.
//
// Schemes: only http and https URLs are accepted, for the first request and
// for every redirect the caller follows (the stack itself never follows a
// redirect: a 3xx answer is handed back with its headers). Anything else
// (file:, ftp:, a missing scheme, ...) fails with ERR_UNSUPPORTED_SCHEME.
//
// TLS: the peer certificate and the host name are always verified, against
// the system CA store plus an optional extra CA file named by the setting
// kSettingExtraCaFile. A certificate problem fails with ERR_CERTIFICATE;
// resumeWithCertificate never bypasses verification.
//
// Time-outs are counted in units of kTimeUnitMillis (10 ms): 6000 units are
// one minute. The connection time-out bounds name resolution, TCP connect,
// proxy tunnel and TLS handshake of each profile entry; the response
// time-out bounds every wait for the server inside one blocking call: a call
// fails with ERR_TIMEOUT when no byte moved for that long.
//
// Body bound: a response body larger than the setting kSettingMaxBodyBytes
// (default kDefaultMaxBodyBytes, 64 MiB; counted after content decoding)
// fails with ERR_BODY_TOO_LARGE and one log line.
//
// Errors: every operation reports through an Error; no exception leaves the
// stack. Codes are the ErrorCode values below.
//
// Threads: an Agent may be used from any thread (its transaction list is
// locked). A Transaction is used by one thread at a time, except abort(),
// which any thread may call while the transaction exists; the blocked call
// then returns ERR_OPERATION_ABORTED promptly. The caller must not destroy a
// transaction while another thread may still call abort() on it. Headers,
// ConnectionProfile, CertificateInfo and Error are plain values.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace qvcurl {
class Transfer;
}

namespace Hivra {

// Time-out unit, and the defaults used when a time-out is not set (or set
// to 0 or less).
constexpr int kTimeUnitMillis = 10;
constexpr int kDefaultConnectionTimeout = 3000;  // 30 s
constexpr int kDefaultResponseTimeout = 6000;    // 60 s

// Settings read when a transaction is created, category kSettingsCategory
// ("QVCore.System").
constexpr int kSettingsCategory = 8;
// Int, bytes; 0 or less, or missing, means kDefaultMaxBodyBytes.
constexpr const char* kSettingMaxBodyBytes = "Http.MaxBodyBytes";
// String, path of a PEM file of CA certificates trusted in addition to the
// system store; empty or missing means the system store alone.
constexpr const char* kSettingExtraCaFile = "Http.ExtraCaFile";
constexpr long long kDefaultMaxBodyBytes = 64LL * 1024 * 1024;

enum ErrorCode : int {
  ERR_NONE = 0,
  ERR_INVALID_ARGUMENT = 1,     // bad URL, method, header, length, null pointer
  ERR_INVALID_STATE = 2,        // a call out of order
  ERR_INTERNAL = 3,             // the library could not be set up, out of memory
  ERR_TRANSACTION_ABORTED = 4,  // the call came after abort()
  ERR_UNSUPPORTED_SCHEME = 5,   // not an http or https URL
  ERR_HOST_NOT_FOUND = 6,       // the server's or the proxy's name does not resolve
  ERR_CONNECT = 7,              // no connection to the server or proxy
  ERR_TIMEOUT = 8,              // connection or response time-out
  ERR_SEND = 9,                 // sending the request failed
  ERR_RECEIVE = 10,             // connection lost or reset while receiving
  ERR_INVALID_RESPONSE = 11,    // malformed status line or headers, header flood
  ERR_BODY_TOO_LARGE = 12,      // the response body is over the bound
  ERR_CONTENT_DECODING = 13,    // a content-encoded body does not decode
  ERR_TLS = 14,                 // TLS handshake failed (other than the certificate)
  ERR_CERTIFICATE = 20,         // the server certificate failed verification
  ERR_END_OF_BODY = 21,         // readBody: the whole body has been read
  ERR_OPERATION_ABORTED = 35,   // a blocked call was ended by abort()
};

class Error {
 public:
  Error() = default;
  Error(int code, std::string detail);

  int code() const { return mCode; }
  bool isError() const { return mCode != ERR_NONE; }
  // Codes 4 and 35.
  bool isAborted() const;
  // Name, code and detail ("connect (7): Connection refused"); "no error"
  // for code 0. Valid until the Error changes.
  const char* toString() const;

  void set(int code, std::string detail);
  void clear();

 private:
  int mCode = ERR_NONE;
  std::string mText = "no error";
};

// An ordered list of header fields; duplicates are kept, lookups by name
// ignore case. Names must be HTTP tokens and values must not hold CR, LF or
// NUL, so that nothing can be smuggled into a request.
class Headers {
 public:
  static Headers* create() { return new Headers(); }
  static void destroy(Headers* headers) { delete headers; }

  // False (and nothing added) for an invalid name or value; logged.
  bool add(const std::string& name, const std::string& value);
  // Adds the fields of text: lines of name, ":", value, separated by LF or
  // CRLF. Blanks around the value are dropped; empty lines are skipped; a
  // line that starts with a blank continues the previous value. False when
  // a line is not a valid field (the valid lines are kept).
  bool addHeaders(const std::string& text);

  int count() const { return static_cast<int>(mFields.size()); }
  // Name and value at index; false (outputs emptied) when out of range.
  bool get(int index, std::string& name, std::string& value) const;
  const std::string& name(int index) const;   // empty when out of range
  const std::string& value(int index) const;  // empty when out of range
  // Value of the first field with this name (any case); null when none.
  const std::string* find(const std::string& name) const;
  // Each field as name, ": ", value, "\r\n", in order.
  std::string toText() const;
  void clear() { mFields.clear(); }

 private:
  std::vector<std::pair<std::string, std::string>> mFields;
};

// How to reach the network: an ordered list of entries, each either a
// proxy (host and port) or a direct connection (empty host, port 0), tried
// in order by sendRequestHeaders; a connection failure moves on to the next
// entry. A profile without entries connects directly.
class ConnectionProfile {
 public:
  struct Entry {
    std::string proxyHost;  // empty: direct
    int proxyPort = 0;
    std::string profileName;
  };

  static ConnectionProfile* create() { return new ConnectionProfile(); }
  static void destroy(ConnectionProfile* profile) { delete profile; }

  // A proxy entry needs a host name or address and a port 1..65535; a
  // direct entry has an empty host and port 0. False (nothing added, one
  // log line) otherwise.
  bool addProfile(const std::string& proxyHost, int proxyPort, const std::string& profileName);
  // In units of kTimeUnitMillis; 0 or less selects the default.
  void setConnectionTimeout(int units) { mConnectionTimeout = units; }
  void setResponseTimeout(int units) { mResponseTimeout = units; }
  // Content decoding (gzip and deflate Content-Encoding) is on by default.
  // It never adds an Accept-Encoding header: that is the caller's.
  void enableContentDecoding() { mDecoding = true; }
  void disableContentDecoding() { mDecoding = false; }
  void setContentDecoding(bool on) { mDecoding = on; }
  // Overrides the kSettingMaxBodyBytes setting; 0 or less: the setting.
  void setMaxBodyBytes(long long bytes) { mMaxBodyBytes = bytes; }

  const std::vector<Entry>& entries() const { return mEntries; }
  // The time-outs in force (defaults applied), in units.
  int connectionTimeout() const;
  int responseTimeout() const;
  bool contentDecoding() const { return mDecoding; }
  long long maxBodyBytes() const { return mMaxBodyBytes; }

 private:
  std::vector<Entry> mEntries;
  int mConnectionTimeout = 0;
  int mResponseTimeout = 0;
  bool mDecoding = true;
  long long mMaxBodyBytes = 0;
};

// The caller's answer to a certificate problem. Verification is never
// bypassed: resuming with RESPONSE_ACCEPT fails all the same.
class CertificateInfo {
 public:
  static constexpr int RESPONSE_REJECT = 0;
  static constexpr int RESPONSE_ACCEPT = 1;

  static CertificateInfo* create() { return new CertificateInfo(); }
  static void destroy(CertificateInfo* info) { delete info; }

  void setResponseCode(int code) { mResponseCode = code; }
  int responseCode() const { return mResponseCode; }

 private:
  int mResponseCode = RESPONSE_REJECT;
};

class Agent;

class Transaction {
 public:
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // Replaces the request headers (sent after the agent's, and in place of
  // an agent header of the same name). Only before sendRequestHeaders.
  bool setRequestHeaders(const Headers& headers, Error& error);
  // Connects (trying the profile's entries in order) and starts the request
  // with the headers set before. The stack adds only Host and, for a POST
  // body whose length no Content-Length header gives, chunked framing; it
  // sends no Accept, Expect, Content-Type or Accept-Encoding of its own.
  // A POST body's length comes from the caller's Content-Length header;
  // without one the body is sent chunked.
  bool sendRequestHeaders(Error& error);
  // The same with these headers; bodyLength is the length of the POST body
  // that follows (0: none, -1: as above). For GET and HEAD it must be 0 or -1.
  bool sendRequestHeaders(const Headers& headers, Error& error, long long bodyLength);
  // Sends one piece of the POST body and returns when it is handed to the
  // connection. (nullptr, 0) ends the body. Sending more than the declared
  // length, or ending before it, is ERR_INVALID_ARGUMENT.
  bool sendRequestBody(const char* data, long long length, Error& error);
  // Ends the request (the body, when there is one); a no-op for GET.
  bool finishRequest(Error& error);
  // Waits for the final status and the response headers (1xx answers are
  // skipped). Ends the request first if needed. The status, or -1.
  int receiveStatus(Error& error);
  // The response headers (receiving them first if needed); null on error.
  // Owned by the transaction, valid until it is destroyed.
  const Headers* receiveResponseHeaders(Error& error);
  // Up to size bytes of the body; blocks until at least one byte, the end
  // or an error. At the end it returns 0 with ERR_END_OF_BODY; on an error
  // 0 with that error. Never returns bytes together with an error.
  int readBody(char* buffer, int size, Error& error);
  // Any thread. The blocked call returns ERR_OPERATION_ABORTED, every later
  // call ERR_TRANSACTION_ABORTED.
  void abort();
  bool isAborted() const { return mAborted.load(); }
  // After ERR_CERTIFICATE: the exchange cannot go on, whatever the answer
  // (verification is never bypassed); always false with ERR_CERTIFICATE.
  // Without a certificate problem: ERR_INVALID_STATE.
  bool resumeWithCertificate(const CertificateInfo& info, Error& error);

  const std::string& method() const { return mMethod; }
  const std::string& url() const { return mUrl; }

 private:
  friend class Agent;
  enum class State { CREATED, SENDING_BODY, REQUEST_SENT, RESPONSE, BODY_DONE };

  Transaction(std::string method, std::string url, const ConnectionProfile& profile, const Headers& agentHeaders,
              long long maxBodyBytes, std::string extraCaFile, std::unique_ptr<qvcurl::Transfer> transfer);
  bool enter(Error& error) const;
  void fail(Error& error, int code, const std::string& detail);
  bool endRequest(Error& error);
  long stallMillis() const;

  const std::string mMethod;
  const std::string mUrl;
  const ConnectionProfile mProfile;
  const Headers mAgentHeaders;
  const long long mMaxBodyBytes;
  const std::string mExtraCaFile;
  const std::unique_ptr<qvcurl::Transfer> mTransfer;
  std::atomic<bool> mAborted{false};

  Headers mRequestHeaders;
  State mState = State::CREATED;
  Error mFailure;  // sticky: once set, every call reports it
  long long mDeclaredBody = -1;
  long long mBodySent = 0;
  int mStatus = -1;
  Headers mResponseHeaders;
  long long mDelivered = 0;
  bool mBodyChecked = false;
};

class Agent {
 public:
  // An agent for this profile whose default headers go with every request.
  // Null with the error when the HTTP library cannot be set up.
  static Agent* create(const ConnectionProfile& profile, const Headers& headers, Error& error);
  // Destroys the agent. Transactions still open are destroyed with it, and
  // that is reported as ERR_INVALID_STATE.
  static void destroy(Agent* agent, Error& error);

  // A transaction for method ("GET", "POST" or "HEAD") and url (http or
  // https). Reads the body bound and the extra CA file from the settings.
  // Null with the error otherwise.
  Transaction* createSynchronizedTransaction(const std::string& method, const std::string& url, Error& error);
  // Destroys a transaction of this agent; false (and nothing destroyed)
  // for another pointer.
  bool destroyTransaction(Transaction* transaction, Error& error);

  const ConnectionProfile& profile() const { return mProfile; }

  ~Agent();
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;

 private:
  Agent(const ConnectionProfile& profile, const Headers& headers);

  const ConnectionProfile mProfile;
  const Headers mHeaders;
  std::mutex mLock;
  std::set<Transaction*> mTransactions;
};

// Resolves a redirect's Location value against the URL that was requested
// (absolute, or relative as RFC 3986 says). False with the error when the
// result is not a valid http or https URL.
bool resolveRedirectLocation(const std::string& requestUrl, const std::string& location, std::string& result,
                             Error& error);

// True when both are http or https URLs of one origin: the same scheme,
// host and port (RFC 6454; case-insensitive, a default port counts as
// given). False when either is not such a URL.
bool sameOrigin(const std::string& url, const std::string& other);

}  // namespace Hivra
