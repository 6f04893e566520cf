#include "transport/DcdHttpTransport.h"

#include <strings.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "platform/CnxProfile.h"
#include "platform/Log.h"
#include "txn/Primitives.h"
#include "txn/Session.h"

namespace {

// Untrusted text (a server's Location) made safe for a log line.
std::string printable(const std::string& text) {
  std::string out;
  const std::size_t limit = 200;
  for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    out += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
  }
  if (text.size() > limit) out += "...";
  return out;
}

// A growing body buffer that reports a failed allocation instead of
// throwing; its bytes are always followed by a NUL.
class BodyBuffer {
 public:
  bool reserve(std::size_t capacity) {
    if (capacity <= mCapacity) return true;
    std::unique_ptr<char[]> grown(new (std::nothrow) char[capacity + 1]);
    if (!grown) return false;
    if (mSize > 0) std::memcpy(grown.get(), mData.get(), mSize);
    grown[mSize] = '\0';
    mData = std::move(grown);
    mCapacity = capacity;
    return true;
  }
  bool append(const char* bytes, std::size_t length) {
    if (mSize + length > mCapacity) {
      std::size_t wanted = mCapacity < 4096 ? 4096 : mCapacity * 2;
      if (wanted < mSize + length) wanted = mSize + length;
      if (!reserve(wanted)) return false;
    }
    std::memcpy(mData.get() + mSize, bytes, length);
    mSize += length;
    mData[mSize] = '\0';
    return true;
  }
  std::size_t size() const { return mSize; }
  std::unique_ptr<char[]> release() { return std::move(mData); }

 private:
  std::unique_ptr<char[]> mData;
  std::size_t mSize = 0;
  std::size_t mCapacity = 0;
};

struct AgentDeleter {
  void operator()(Hivra::Agent* agent) const {
    Hivra::Error error;
    Hivra::Agent::destroy(agent, error);
    if (error.isError()) QV_LOG(3, "Unable to destroy the Hivra agent. Got Hivra error: %s", error.toString());
  }
};
struct TransactionDeleter {
  Hivra::Agent* agent = nullptr;
  void operator()(Hivra::Transaction* transaction) const {
    Hivra::Error error;
    if (agent->destroyTransaction(transaction, error)) return;
    transaction->abort();
    if (!agent->destroyTransaction(transaction, error)) {
      QV_LOG(3,
             "Unable to destroy the Hivra transaction, even after aborting it. Giving up after encountering error: "
             "%s",
             error.toString());
    }
  }
};

}  // namespace

// The agent and the synchronized transaction of one exchange, each owned
// from the call that made it. The transaction goes before the agent.
class HivraSession {
 public:
  HivraSession(const Hivra::ConnectionProfile& profile, const char* method, const std::string& url)
      : mProfile(profile) {
    Hivra::Error error;
    mAgent.reset(Hivra::Agent::create(mProfile, Hivra::Headers(), error));
    if (!mAgent) {
      QV_LOG(3, "Unable to create a Hivra agent. Aborting. Got Hivra error: %s", error.toString());
      return;
    }
    mTransaction = TransactionPtr(mAgent->createSynchronizedTransaction(method, url, error),
                                  TransactionDeleter{mAgent.get()});
    if (!mTransaction) {
      QV_LOG(3, "Unable to create a synchronized Transaction. Got Hivra error: %s", error.toString());
    }
  }
  HivraSession(const HivraSession&) = delete;
  HivraSession& operator=(const HivraSession&) = delete;

  bool ok() const { return mTransaction != nullptr; }
  Hivra::Transaction* transaction() const { return mTransaction.get(); }

 private:
  using TransactionPtr = std::unique_ptr<Hivra::Transaction, TransactionDeleter>;

  const Hivra::ConnectionProfile mProfile;
  std::unique_ptr<Hivra::Agent, AgentDeleter> mAgent;
  TransactionPtr mTransaction;
};

DcdHttpTransport::DcdHttpTransport() = default;

DcdHttpTransport::DcdHttpTransport(bool permanentRedirectEnabled, bool redirectEnabled)
    : mPermanentRedirectEnabled(permanentRedirectEnabled), mRedirectEnabled(redirectEnabled) {}

DcdHttpTransport::~DcdHttpTransport() = default;

void DcdHttpTransport::setHeaders(HeaderMap& headers, const txn::Request& request, const txn::Session& session) {
  headers["Accept-Charset"] = "UTF-8";
  headers["X-FL-DCD-Version"] = txn::kDcdVersion;
  if (session.getAttribute(txn::kAttrGzipEnabled) == "true") {
    QV_LOG(8, "Determined that gzip is enabled. Setting the accept-encoding header appropriately.");
    headers["Accept-Encoding"] = "gzip";
  }
  const std::string userAgent = session.getAttribute(txn::kAttrPhoneModelId) + "/" +
                                session.getAttribute(txn::kAttrPhoneSoftwareVersion) + " QVP/" + txn::kDcdVersion +
                                " WebKit/1.0";
  QV_LOG(8, "Determined that the user-agent value is %s", userAgent.c_str());
  headers["User-Agent"] = userAgent;
  const std::string subscriber = session.getAttribute(txn::kAttrSubscriberId);
  if (mSendCredentials && session.getAttribute(txn::kAttrMsisdnReported) == "true" && !subscriber.empty()) {
    QV_LOG(8, "Setting msisdn header to value, %s", subscriber.c_str());
    headers["X-FL-MSISDN"] = subscriber;
  }

  const std::string* deviceType = request.getDeviceType();
  if (deviceType == nullptr) {
    QV_LOG(3, "Unable to obtain device-type for this request.");
    return;
  }
  headers["X-FL-Device-Type"] = *deviceType;

  setRequestKindHeaders(headers, request);

  const std::string* sessionId = request.getSessionId();
  if (!mSendCredentials) {
    QV_LOG(8, "[18344] The request leaves the server's origin: no session id in the header");
  } else if (sessionId != nullptr && !sessionId->empty()) {
    QV_LOG(8, "[18344]Session id is added to the header");
    QV_LOG(3, "[18344]Session id is added to the header");
    headers["QVPv2-Session-ID"] = *sessionId;
  } else {
    QV_LOG(8, "[18344] Session id is null or empty, no need add it to header");
  }
}

bool DcdHttpTransport::cancel() {
  std::lock_guard<std::mutex> guard(mSessionLock);
  mCancelRequested = true;
  if (mSession && mSession->transaction() != nullptr) {
    mSession->transaction()->abort();
    QV_LOG(8, "Attempted to abort the currently pending Hivra transaction.");
  }
  return true;
}

void DcdHttpTransport::clearCancel() {
  std::lock_guard<std::mutex> guard(mSessionLock);
  mCancelRequested = false;
}

Hivra::ConnectionProfile DcdHttpTransport::buildConnectionProfile() const {
  Hivra::ConnectionProfile profile;
  for (const std::string& name : mProfileNames) {
    CNX_ProfileRecord record;
    const int rc = CNX_ReadProfile(name.c_str(), &record, 0, 0);
    if (rc != 0) {
      QV_LOG(3, "CNX_ReadProfile failed with error :%d ", rc);
      QV_LOG(3, "Open profile failed:%s", name.c_str());
      continue;
    }
    struct Slot {
      bool counts;
      std::string host;
      int port;
    };
    const Slot slots[] = {
        {record.proxy1Enabled != 0 && record.proxy1Port != 0,
         std::string(record.proxy1Host, strnlen(record.proxy1Host, sizeof record.proxy1Host)), record.proxy1Port},
        {record.proxy2Enabled != 0 && record.proxy2Port != 0,
         std::string(record.proxy2Host, strnlen(record.proxy2Host, sizeof record.proxy2Host)), record.proxy2Port},
    };
    bool anyProxy = false;
    for (const Slot& slot : slots) {
      if (!slot.counts) continue;
      anyProxy = true;
      QV_LOG(3, "Configuring this transport with proxy, %s:%d, name:%s", slot.host.c_str(), slot.port, name.c_str());
      profile.addProfile(slot.host, slot.port, name);
    }
    if (!anyProxy) {
      QV_LOG(3, "Configuring this transport to use the CNX profile name, %s", name.c_str());
      profile.addProfile("", 0, name);
    }
  }
  if (mTimeoutMinutes > 0) {
    QV_LOG(8, "Setting the connection and response time-out to %d minutes", mTimeoutMinutes);
    const long long units = static_cast<long long>(mTimeoutMinutes) * 6000;
    const int bounded = units > INT_MAX ? INT_MAX : static_cast<int>(units);
    profile.setConnectionTimeout(bounded);
    profile.setResponseTimeout(bounded);
  }
  profile.setContentDecoding(mEnableGzip);
  return profile;
}

DcdHttpTransport::Redirect DcdHttpTransport::judgeRedirect(int status, const std::string& url,
                                                           const HeaderMap& headers, std::string& location) {
  if (status != 301 && status != 307) return Redirect::NONE;
  const std::string* value = nullptr;
  for (const auto& header : headers) {
    if (strcasecmp(header.first.c_str(), "Location") == 0) {
      value = &header.second;
      break;
    }
  }
  if (value == nullptr || value->empty()) {
    QV_LOG(3, "Status code indicates that request should be redirected, but no %s header specified.", "Location");
    return Redirect::REFUSED;
  }
  std::string resolved;
  Hivra::Error error;
  if (!Hivra::resolveRedirectLocation(url, *value, resolved, error)) {
    QV_LOG(3, "Refusing to follow the redirect of %s to %s: %s", url.c_str(), printable(*value).c_str(),
           error.toString());
    return Redirect::REFUSED;
  }
  QV_LOG(8, "Status code indicates that request should be redirected to %s", resolved.c_str());
  location = std::move(resolved);
  return Redirect::FOLLOW;
}

void DcdHttpTransport::copyResponseHeaders(const Hivra::Headers& fields, HeaderMap& map) {
  for (int i = 0; i < fields.count(); ++i) {
    const std::string& name = fields.name(i);
    const std::string& value = fields.value(i);
    if (name.empty() || value.empty()) {
      QV_LOG(3, "Unable to obtain header at index %d. Skipping.", i);
      continue;
    }
    QV_LOG(8, "Encountered response header, %s, with value, %s", name.c_str(), value.c_str());
    map.emplace(name, value);
  }
}

int DcdHttpTransport::send() {
  if (mPermanentRedirectEnabled) {
    auto known = mPermanentRedirects.find(mUrl);
    if (known != mPermanentRedirects.end()) {
      QV_LOG(8,
             "Permanent redirect has been enabled, and have found a URL, %s, that matches the currently set URL, %s. "
             "Will be sending request to the former.",
             known->second.c_str(), mUrl.c_str());
      mUrl = known->second;
    }
  }

  std::string location;
  int result = exchange(location);
  if (result == SEND_SUCCESS) {
    QV_LOG(8, "Successfully sent request to URI, %s", mUrl.c_str());
  } else if (result == SEND_CANCELLED) {
    QV_LOG(3, "This transport has been marked cancelled.");
  } else if ((!mRedirectEnabled && !mPermanentRedirectEnabled) || location.empty()) {
    QV_LOG(3, "Unable to send request to URI, %s", mUrl.c_str());
  } else {
    mUrl = location;
    QV_LOG(3, "Redirect has been enabled. Redirecting client to the new URI, %s.", mUrl.c_str());
    std::string ignored;  // at most one redirect per send
    result = exchange(ignored);
    if (result == SEND_SUCCESS) {
      QV_LOG(8, "Successfully redirected request to the URI, %s", mUrl.c_str());
    } else {
      QV_LOG(3,
             "Redirect has been enabled. Redirected client to the new URI, %s. However, the request still failed. "
             "Giving up.",
             mUrl.c_str());
    }
  }

  // A cancel ends at most the exchanges of one send.
  std::lock_guard<std::mutex> guard(mSessionLock);
  mCancelRequested = false;
  return result;
}

int DcdHttpTransport::exchange(std::string& location) {
  location.clear();
  clearResponse();
  if (!startSession(buildConnectionProfile())) return SEND_FAILURE;
  Hivra::Transaction& transaction = *mSession->transaction();
  const int sent = sendRequest(transaction);
  if (sent != SEND_SUCCESS) return sent;
  return receiveResponse(transaction, location);
}

bool DcdHttpTransport::startSession(const Hivra::ConnectionProfile& profile) {
  const char* method = "GET";
  if (mMethod == POST) {
    method = "POST";
  } else if (mMethod != GET) {
    QV_LOG(3, "No transport method specified. Defaulting to GET.");
  }
  std::unique_ptr<HivraSession> fresh(new (std::nothrow) HivraSession(profile, method, mUrl));
  if (!fresh) {
    QV_LOG(3, "Out of memory while starting an exchange with %s", mUrl.c_str());
    return false;
  }
  const bool ok = fresh->ok();
  std::unique_ptr<HivraSession> previous;
  {
    std::lock_guard<std::mutex> guard(mSessionLock);
    previous = std::move(mSession);
    mSession = std::move(fresh);
    // A cancel that came before this exchange had a transaction to abort.
    if (mCancelRequested && mSession->transaction() != nullptr) mSession->transaction()->abort();
  }
  // cancel can no longer reach the previous session: destroy it unlocked.
  previous.reset();
  return ok;
}

int DcdHttpTransport::sendRequest(Hivra::Transaction& transaction) {
  Hivra::Headers headers;
  // A POST without a body (an asset request) says so with a length of 0,
  // rather than leaving the stack to send an empty chunked body.
  const bool withLength = mMethod == POST;
  if (withLength) {
    const int32_t length = mBodyLength > 0 ? mBodyLength : 0;
    QV_LOG(8,
           "Since client is executing a HTTP POST with a message entity, client has set its HTTP Content-Length "
           "header to be, %d",
           length);
    headers.add("Content-Length", std::to_string(length));
  }
  if (mRequestHeaders.empty()) QV_LOG(3, "No headers specified. Continuing anyway.");
  for (const auto& header : mRequestHeaders) {
    // The body's own length is the only one that goes out.
    if (withLength && strcasecmp(header.first.c_str(), "Content-Length") == 0) continue;
    QV_LOG(8, "Adding request header key, %s, with value, %s", header.first.c_str(), header.second.c_str());
    headers.add(header.first, header.second);  // the stack logs a field it refuses
  }

  Hivra::Error error;
  if (!transaction.setRequestHeaders(headers, error)) {
    if (error.isAborted()) {
      QV_LOG(3, "Hivra Transaction aborted while setting request headers.");
      return SEND_CANCELLED;
    }
    QV_LOG(3, "Unable to set request headers. Continuing anyway.");
  }
  if (!transaction.sendRequestHeaders(error)) {
    if (error.isAborted()) {
      QV_LOG(3, "Hivra Transaction aborted while sending request headers.");
      return SEND_CANCELLED;
    }
    if (error.code() == Hivra::ERR_CERTIFICATE) {
      // Accepting the certificate anyway would let anyone on the path pose
      // as the content server.
      QV_LOG(3,
             "The certificate of the server at %s failed verification (%s). The exchange ends here; an unverified "
             "server is never accepted.",
             mUrl.c_str(), error.toString());
      return SEND_FAILURE;
    }
    QV_LOG(3, "Unable to send request headers. Got Hivra error: %s. Aborting.", error.toString());
    return SEND_FAILURE;
  }

  if (mBodyLength > 0 && mBody) {
    if (mMethod != POST) {
      QV_LOG(3, "A GET request carries no body; the %d bytes set are not sent.", mBodyLength);
      return SEND_SUCCESS;
    }
    QV_LOG(8, "Sending the request body of size %ld", static_cast<long>(mBodyLength));
    if (!transaction.sendRequestBody(mBody.get(), mBodyLength, error) ||
        !transaction.sendRequestBody(nullptr, 0, error)) {
      if (error.isAborted()) {
        QV_LOG(3, "Hivra Transaction aborted while sending request body.");
        return SEND_CANCELLED;
      }
      QV_LOG(3, "Unable to send the request body , due to the error %s.", error.toString());
      return SEND_FAILURE;
    }
  }
  return SEND_SUCCESS;
}

int DcdHttpTransport::receiveResponse(Hivra::Transaction& transaction, std::string& location) {
  QV_LOG(8, "Waiting for server response.");
  Hivra::Error error;
  const int status = transaction.receiveStatus(error);
  if (error.isError()) {
    if (error.isAborted()) {
      QV_LOG(3, "Hivra Transaction aborted while receiving response status.");
      return SEND_CANCELLED;
    }
    QV_LOG(3, "Unable to get response status code. Got Hivra error: %s.", error.toString());
    return SEND_FAILURE;
  }
  QV_LOG(8, "Received server response.");
  mStatusCode = status;
  QV_LOG(8, "Got response status code, %d", status);
  QV_LOG(3, "Got response status code, %d", status);

  const Hivra::Headers* fields = transaction.receiveResponseHeaders(error);
  if (fields == nullptr) {
    if (error.isAborted()) {
      QV_LOG(3, "Hivra Transaction aborted while receiving response headers.");
      return SEND_CANCELLED;
    }
    QV_LOG(3, "Unable to obtain the response headers. Got Hivra error: %s. Continuing.", error.toString());
  } else {
    copyResponseHeaders(*fields, mResponseHeaders);
  }

  switch (judgeRedirect(status, mUrl, mResponseHeaders, location)) {
    case Redirect::FOLLOW:
      if (status == 301 && mPermanentRedirectEnabled) {
        QV_LOG(8,
               "Saving the mapping of the original URL, %s, to the permanently redirected location, %s",
               mUrl.c_str(), location.c_str());
        mPermanentRedirects[mUrl] = location;
      }
      return SEND_FAILURE;
    case Redirect::REFUSED:
      location.clear();
      return SEND_FAILURE;
    case Redirect::NONE:
      break;
  }
  return receiveBody(transaction);
}

int DcdHttpTransport::receiveBody(Hivra::Transaction& transaction) {
  BodyBuffer body;
  // A plain body of announced length is held without growing; the stack
  // bounds what really arrives.
  auto length = mResponseHeaders.end();
  bool encoded = false;
  for (auto it = mResponseHeaders.begin(); it != mResponseHeaders.end(); ++it) {
    if (strcasecmp(it->first.c_str(), "Content-Length") == 0) length = it;
    if (strcasecmp(it->first.c_str(), "Content-Encoding") == 0) encoded = true;
  }
  if (length != mResponseHeaders.end() && !encoded) {
    char* end = nullptr;
    const long long announced = std::strtoll(length->second.c_str(), &end, 10);
    if (end != nullptr && *end == '\0' && announced > 0 && announced <= Hivra::kDefaultMaxBodyBytes) {
      body.reserve(static_cast<std::size_t>(announced));
    }
  }

  char piece[kBodyPieceBytes];
  Hivra::Error error;
  for (;;) {
    const int got = transaction.readBody(piece, sizeof piece, error);
    if (got > 0) {
      if (body.size() + static_cast<std::size_t>(got) >= static_cast<std::size_t>(INT32_MAX) ||
          !body.append(piece, static_cast<std::size_t>(got))) {
        QV_LOG(3, "Unable to hold a response body of more than %zu bytes from %s. Aborting.", body.size(),
               mUrl.c_str());
        return SEND_FAILURE;
      }
      continue;
    }
    if (error.code() == Hivra::ERR_END_OF_BODY) break;
    if (error.isAborted()) {
      QV_LOG(3, "Hivra Transaction aborted while receiving a chunk of the response body.");
      return SEND_CANCELLED;
    }
    QV_LOG(3, "Did not successfully receive the response body. Got error, %s", error.toString());
    return SEND_FAILURE;
  }
  if (body.size() == 0) {
    QV_LOG(8, "Did not receive any bytes from the server.");
    return SEND_FAILURE;
  }
  const int32_t size = static_cast<int32_t>(body.size());
  QV_LOG(8, "Attempting to copy %d bytes.", size);
  mResponseBody = body.release();  // NUL-terminated
  mResponseLength = size;
  QV_LOG(8, "Received the following response:\n\n%s", mResponseBody.get());
  return SEND_SUCCESS;
}
