#include "platform/Hivra.h"

#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "CurlTransfer.h"
#include "platform/Log.h"
#include "platform/Settings.h"
#include "platform/Types.h"

namespace Hivra {

namespace {

const char* codeName(int code) {
  switch (code) {
    case ERR_NONE: return "no error";
    case ERR_INVALID_ARGUMENT: return "invalid argument";
    case ERR_INVALID_STATE: return "invalid state";
    case ERR_INTERNAL: return "internal error";
    case ERR_TRANSACTION_ABORTED: return "transaction aborted";
    case ERR_UNSUPPORTED_SCHEME: return "unsupported scheme";
    case ERR_HOST_NOT_FOUND: return "host not found";
    case ERR_CONNECT: return "connect";
    case ERR_TIMEOUT: return "time-out";
    case ERR_SEND: return "send";
    case ERR_RECEIVE: return "receive";
    case ERR_INVALID_RESPONSE: return "invalid response";
    case ERR_BODY_TOO_LARGE: return "body too large";
    case ERR_CONTENT_DECODING: return "content decoding";
    case ERR_TLS: return "TLS";
    case ERR_CERTIFICATE: return "certificate";
    case ERR_END_OF_BODY: return "end of body";
    case ERR_OPERATION_ABORTED: return "operation aborted";
    default: return "error";
  }
}

bool isTokenChar(unsigned char c) {
  return std::isalnum(c) != 0 || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool validName(const std::string& name) {
  if (name.empty()) return false;
  for (unsigned char c : name) {
    if (c == '\0' || !isTokenChar(c)) return false;
  }
  return true;
}

bool validValue(const std::string& value) {
  return value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

std::string trimBlanks(const std::string& text) {
  std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return std::string();
  std::size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

// A printable excerpt of untrusted bytes for a log line.
std::string excerpt(const std::string& text) {
  std::string out;
  for (unsigned char c : text.substr(0, 80)) out += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
  if (text.size() > 80) out += "...";
  return out;
}

// Splits one header line (no line end) into a valid name and a trimmed value.
bool splitField(const std::string& line, std::string& name, std::string& value) {
  std::size_t colon = line.find(':');
  if (colon == std::string::npos) return false;
  name = line.substr(0, colon);
  value = trimBlanks(line.substr(colon + 1));
  return validName(name) && validValue(value);
}

std::string toUtf8(const qvTypes::String& text) {
  std::ostringstream out;
  UTF_8Util::LineWriter writer(out);
  writer.write(text);
  writer.flush();
  return out.str();
}

// Strict decimal, no sign, no blanks.
bool parseLength(const std::string& text, long long& out) {
  if (text.empty() || text.size() > 18) return false;
  long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  out = value;
  return true;
}

std::string describe(const ConnectionProfile::Entry& entry) {
  std::string how = entry.proxyHost.empty()
                        ? std::string("directly")
                        : "through the proxy " + entry.proxyHost + ":" + std::to_string(entry.proxyPort);
  if (!entry.profileName.empty()) how += " (profile " + entry.profileName + ")";
  return how;
}

// Failures before anything was sent that another route may not have.
bool triesNextEntry(int code) {
  return code == ERR_HOST_NOT_FOUND || code == ERR_CONNECT || code == ERR_TIMEOUT || code == ERR_TLS ||
         code == ERR_SEND || code == ERR_RECEIVE;
}

}  // namespace

// ---- Error

Error::Error(int code, std::string detail) { set(code, std::move(detail)); }

bool Error::isAborted() const { return mCode == ERR_TRANSACTION_ABORTED || mCode == ERR_OPERATION_ABORTED; }

const char* Error::toString() const { return mText.c_str(); }

void Error::set(int code, std::string detail) {
  mCode = code;
  if (code == ERR_NONE) {
    mText = "no error";
    return;
  }
  mText = std::string(codeName(code)) + " (" + std::to_string(code) + ")";
  if (!detail.empty()) mText += ": " + detail;
}

void Error::clear() { set(ERR_NONE, std::string()); }

// ---- Headers

bool Headers::add(const std::string& name, const std::string& value) {
  if (!validName(name) || !validValue(value)) {
    QV_LOG(3, "Refusing the header field \"%s\": invalid name or value\n", excerpt(name).c_str());
    return false;
  }
  mFields.emplace_back(name, value);
  return true;
}

bool Headers::addHeaders(const std::string& text) {
  bool allValid = true;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (line[0] == ' ' || line[0] == '\t') {  // continuation of the previous value
      std::string more = trimBlanks(line);
      if (mFields.empty() || !validValue(more)) {
        allValid = false;
      } else if (!more.empty()) {
        std::string& value = mFields.back().second;
        value += value.empty() ? more : " " + more;
      }
      continue;
    }
    std::string name, value;
    if (splitField(line, name, value)) {
      mFields.emplace_back(std::move(name), std::move(value));
    } else {
      allValid = false;
    }
  }
  return allValid;
}

bool Headers::get(int index, std::string& name, std::string& value) const {
  if (index < 0 || index >= count()) {
    name.clear();
    value.clear();
    return false;
  }
  name = mFields[index].first;
  value = mFields[index].second;
  return true;
}

const std::string& Headers::name(int index) const {
  static const std::string kEmpty;
  return index >= 0 && index < count() ? mFields[index].first : kEmpty;
}

const std::string& Headers::value(int index) const {
  static const std::string kEmpty;
  return index >= 0 && index < count() ? mFields[index].second : kEmpty;
}

const std::string* Headers::find(const std::string& name) const {
  for (const auto& field : mFields) {
    if (strcasecmp(field.first.c_str(), name.c_str()) == 0) return &field.second;
  }
  return nullptr;
}

std::string Headers::toText() const {
  std::string text;
  for (const auto& field : mFields) text += field.first + ": " + field.second + "\r\n";
  return text;
}

// ---- ConnectionProfile

bool ConnectionProfile::addProfile(const std::string& proxyHost, int proxyPort, const std::string& profileName) {
  if (proxyHost.empty()) {
    if (proxyPort != 0) {
      QV_LOG(3, "Connection profile entry %s: a port without a proxy host\n", excerpt(profileName).c_str());
      return false;
    }
    mEntries.push_back(Entry{std::string(), 0, profileName});
    return true;
  }
  bool hostOk = proxyHost.size() <= 255;
  for (unsigned char c : proxyHost) {
    hostOk = hostOk && (std::isalnum(c) != 0 || std::strchr(".-_:[]", c) != nullptr) && c != '\0';
  }
  if (!hostOk || proxyPort < 1 || proxyPort > 65535) {
    QV_LOG(3, "Connection profile entry %s: unusable proxy %s:%d\n", excerpt(profileName).c_str(),
           excerpt(proxyHost).c_str(), proxyPort);
    return false;
  }
  mEntries.push_back(Entry{proxyHost, proxyPort, profileName});
  return true;
}

int ConnectionProfile::connectionTimeout() const {
  return mConnectionTimeout > 0 ? mConnectionTimeout : kDefaultConnectionTimeout;
}

int ConnectionProfile::responseTimeout() const {
  return mResponseTimeout > 0 ? mResponseTimeout : kDefaultResponseTimeout;
}

// ---- Transaction

Transaction::Transaction(std::string method, std::string url, const ConnectionProfile& profile,
                         const Headers& agentHeaders, long long maxBodyBytes, std::string extraCaFile,
                         std::unique_ptr<qvcurl::Transfer> transfer)
    : mMethod(std::move(method)),
      mUrl(std::move(url)),
      mProfile(profile),
      mAgentHeaders(agentHeaders),
      mMaxBodyBytes(maxBodyBytes),
      mExtraCaFile(std::move(extraCaFile)),
      mTransfer(std::move(transfer)) {}

Transaction::~Transaction() = default;

bool Transaction::enter(Error& error) const {
  if (mAborted.load()) {
    error.set(ERR_TRANSACTION_ABORTED, "the transaction was aborted");
    return false;
  }
  if (mFailure.isError()) {
    error = mFailure;
    return false;
  }
  error.clear();
  return true;
}

void Transaction::fail(Error& error, int code, const std::string& detail) {
  mFailure.set(code, detail);
  error = mFailure;
}

long Transaction::stallMillis() const { return static_cast<long>(mProfile.responseTimeout()) * kTimeUnitMillis; }

bool Transaction::setRequestHeaders(const Headers& headers, Error& error) {
  if (!enter(error)) return false;
  if (mState != State::CREATED) {
    error.set(ERR_INVALID_STATE, "the request headers were already sent");
    return false;
  }
  mRequestHeaders = headers;
  return true;
}

bool Transaction::sendRequestHeaders(const Headers& headers, Error& error, long long bodyLength) {
  if (!enter(error)) return false;
  if (mState != State::CREATED) {
    error.set(ERR_INVALID_STATE, "the request headers were already sent");
    return false;
  }
  if (bodyLength < -1 || (bodyLength > 0 && mMethod != "POST")) {
    error.set(ERR_INVALID_ARGUMENT, "a body length of " + std::to_string(bodyLength) + " for " + mMethod);
    return false;
  }
  mRequestHeaders = headers;
  mDeclaredBody = bodyLength;
  return sendRequestHeaders(error);
}

bool Transaction::sendRequestHeaders(Error& error) {
  if (!enter(error)) return false;
  if (mState != State::CREATED) {
    error.set(ERR_INVALID_STATE, "the request headers were already sent");
    return false;
  }

  qvcurl::Request request;
  request.method = mMethod;
  request.url = mUrl;
  for (int i = 0; i < mAgentHeaders.count(); ++i) {
    if (mRequestHeaders.find(mAgentHeaders.name(i)) == nullptr) {
      request.headers.emplace_back(mAgentHeaders.name(i), mAgentHeaders.value(i));
    }
  }
  for (int i = 0; i < mRequestHeaders.count(); ++i) {
    request.headers.emplace_back(mRequestHeaders.name(i), mRequestHeaders.value(i));
  }

  long long declared = mMethod == "POST" ? mDeclaredBody : 0;
  for (const auto& field : request.headers) {
    if (strcasecmp(field.first.c_str(), "Content-Length") != 0) continue;
    long long given = 0;
    if (!parseLength(field.second, given)) {
      error.set(ERR_INVALID_ARGUMENT, "Content-Length \"" + excerpt(field.second) + "\" is not a length");
      return false;
    }
    if (mMethod != "POST" && given != 0) {
      error.set(ERR_INVALID_ARGUMENT, "a " + mMethod + " request has no body");
      return false;
    }
    if (declared >= 0 && declared != given) {
      error.set(ERR_INVALID_ARGUMENT, "Content-Length " + field.second + " differs from the body length " +
                                          std::to_string(declared));
      return false;
    }
    declared = given;
  }
  mDeclaredBody = declared;
  request.uploadSize = declared;
  request.connectTimeoutMs = static_cast<long>(mProfile.connectionTimeout()) * kTimeUnitMillis;
  request.decodeContent = mProfile.contentDecoding();
  request.extraCaFile = mExtraCaFile;

  std::vector<ConnectionProfile::Entry> entries = mProfile.entries();
  if (entries.empty()) entries.push_back(ConnectionProfile::Entry{});
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const ConnectionProfile::Entry& entry = entries[i];
    request.proxyHost = entry.proxyHost;
    request.proxyPort = entry.proxyPort;
    qvcurl::Outcome outcome = mTransfer->start(request);
    if (outcome.ok()) {
      mState = mMethod == "POST" && declared != 0 ? State::SENDING_BODY : State::REQUEST_SENT;
      return true;
    }
    if (outcome.code == ERR_CERTIFICATE) {
      QV_LOG(3, "The server certificate of %s failed verification: %s. The exchange ends; verification is never "
                "bypassed.\n", mUrl.c_str(), outcome.message.c_str());
    }
    if (i + 1 < entries.size() && triesNextEntry(outcome.code)) {
      QV_LOG(3, "Connecting to %s %s failed: %s (%d). Trying the next connection profile entry.\n", mUrl.c_str(),
             describe(entry).c_str(), outcome.message.c_str(), outcome.code);
      continue;
    }
    std::string detail = outcome.code == ERR_OPERATION_ABORTED ? outcome.message
                                                                : describe(entry) + ": " + outcome.message;
    fail(error, outcome.code, detail);
    return false;
  }
  return false;  // not reached: the last entry either succeeds or fails above
}

bool Transaction::sendRequestBody(const char* data, long long length, Error& error) {
  if (!enter(error)) return false;
  if (data == nullptr && length == 0) return endRequest(error);
  if (data == nullptr || length < 0) {
    error.set(ERR_INVALID_ARGUMENT, "a body piece needs data and a length of 0 or more");
    return false;
  }
  if (mState != State::SENDING_BODY) {
    error.set(ERR_INVALID_STATE, "no request body is being sent");
    return false;
  }
  if (mDeclaredBody >= 0 && mBodySent + length > mDeclaredBody) {
    error.set(ERR_INVALID_ARGUMENT, "the body is longer than its declared " + std::to_string(mDeclaredBody) +
                                        " bytes");
    return false;
  }
  if (length == 0) return true;
  qvcurl::Outcome outcome = mTransfer->sendBody(data, static_cast<std::size_t>(length), stallMillis());
  if (!outcome.ok()) {
    fail(error, outcome.code, outcome.message);
    return false;
  }
  mBodySent += length;
  return true;
}

bool Transaction::finishRequest(Error& error) {
  if (!enter(error)) return false;
  return endRequest(error);
}

bool Transaction::endRequest(Error& error) {
  if (mState == State::CREATED) {
    error.set(ERR_INVALID_STATE, "the request headers were not sent");
    return false;
  }
  if (mState != State::SENDING_BODY) return true;
  if (mDeclaredBody >= 0 && mBodySent < mDeclaredBody) {
    // The server would wait for bytes that never come.
    fail(error, ERR_INVALID_ARGUMENT, "the body ended after " + std::to_string(mBodySent) + " of its declared " +
                                          std::to_string(mDeclaredBody) + " bytes");
    return false;
  }
  mTransfer->endBody();
  mState = State::REQUEST_SENT;
  return true;
}

int Transaction::receiveStatus(Error& error) {
  if (!enter(error)) return -1;
  if (mState == State::RESPONSE || mState == State::BODY_DONE) return mStatus;
  if (!endRequest(error)) return -1;
  qvcurl::Outcome outcome = mTransfer->waitForHeaders(stallMillis());
  if (!outcome.ok()) {
    fail(error, outcome.code, outcome.message);
    return -1;
  }
  Headers received;
  for (const std::string& line : mTransfer->headerLines()) {
    if (!received.addHeaders(line)) {
      fail(error, ERR_INVALID_RESPONSE, "malformed response header line \"" + excerpt(line) + "\"");
      return -1;
    }
  }
  mResponseHeaders = received;
  mStatus = mTransfer->statusCode();
  mState = State::RESPONSE;
  return mStatus;
}

const Headers* Transaction::receiveResponseHeaders(Error& error) {
  if (receiveStatus(error) < 0) return nullptr;
  return &mResponseHeaders;
}

int Transaction::readBody(char* buffer, int size, Error& error) {
  if (!enter(error)) return 0;
  if (buffer == nullptr || size <= 0) {
    error.set(ERR_INVALID_ARGUMENT, "readBody needs a buffer");
    return 0;
  }
  if (mState != State::RESPONSE && mState != State::BODY_DONE && receiveStatus(error) < 0) return 0;
  if (mState == State::BODY_DONE) {
    error.set(ERR_END_OF_BODY, "the whole body has been read");
    return 0;
  }
  if (!mBodyChecked) {
    mBodyChecked = true;
    // Without content decoding the announced length is what would arrive.
    long long announced = mTransfer->contentLength();
    bool decoded = mProfile.contentDecoding() && mResponseHeaders.find("Content-Encoding") != nullptr;
    if (!decoded && announced > mMaxBodyBytes && mMethod != "HEAD") {
      QV_LOG(3, "The response body of %s announces %lld bytes, more than the bound of %lld bytes (setting "
                "QVCore.System.%s); the transfer is stopped.\n", mUrl.c_str(), announced, mMaxBodyBytes,
             kSettingMaxBodyBytes);
      fail(error, ERR_BODY_TOO_LARGE, "the body announces " + std::to_string(announced) + " bytes, the bound is " +
                                          std::to_string(mMaxBodyBytes));
      return 0;
    }
  }
  std::size_t got = 0;
  qvcurl::Outcome outcome = mTransfer->read(buffer, static_cast<std::size_t>(size), got, stallMillis());
  if (!outcome.ok()) {
    fail(error, outcome.code, outcome.message);
    return 0;
  }
  if (got == 0) {
    mState = State::BODY_DONE;
    error.set(ERR_END_OF_BODY, "the whole body has been read");
    return 0;
  }
  if (mDelivered + static_cast<long long>(got) > mMaxBodyBytes) {
    QV_LOG(3, "The response body of %s is larger than the bound of %lld bytes (setting QVCore.System.%s); the "
              "transfer is stopped.\n", mUrl.c_str(), mMaxBodyBytes, kSettingMaxBodyBytes);
    fail(error, ERR_BODY_TOO_LARGE, "the body is larger than " + std::to_string(mMaxBodyBytes) + " bytes");
    return 0;
  }
  mDelivered += static_cast<long long>(got);
  return static_cast<int>(got);
}

void Transaction::abort() {
  mAborted.store(true);
  mTransfer->interrupt();
}

bool Transaction::resumeWithCertificate(const CertificateInfo& info, Error& error) {
  if (mAborted.load()) {
    error.set(ERR_TRANSACTION_ABORTED, "the transaction was aborted");
    return false;
  }
  if (mFailure.code() != ERR_CERTIFICATE) {
    error.set(ERR_INVALID_STATE, "there is no certificate problem to resume from");
    return false;
  }
  error.set(ERR_CERTIFICATE, info.responseCode() == CertificateInfo::RESPONSE_ACCEPT
                                 ? "certificate verification is never bypassed"
                                 : "the certificate was rejected");
  return false;
}

// ---- Agent

Agent::Agent(const ConnectionProfile& profile, const Headers& headers) : mProfile(profile), mHeaders(headers) {}

Agent::~Agent() {
  for (Transaction* transaction : mTransactions) delete transaction;
}

Agent* Agent::create(const ConnectionProfile& profile, const Headers& headers, Error& error) {
  std::string reason;
  if (!qvcurl::initialise(reason)) {
    error.set(ERR_INTERNAL, reason);
    return nullptr;
  }
  error.clear();
  return new Agent(profile, headers);
}

void Agent::destroy(Agent* agent, Error& error) {
  if (agent == nullptr) {
    error.set(ERR_INVALID_ARGUMENT, "no agent");
    return;
  }
  std::size_t open = 0;
  {
    std::lock_guard<std::mutex> guard(agent->mLock);
    open = agent->mTransactions.size();
  }
  delete agent;
  if (open != 0) {
    error.set(ERR_INVALID_STATE, std::to_string(open) + " transactions were still open and were destroyed");
  } else {
    error.clear();
  }
}

Transaction* Agent::createSynchronizedTransaction(const std::string& method, const std::string& url, Error& error) {
  if (method != "GET" && method != "POST" && method != "HEAD") {
    error.set(ERR_INVALID_ARGUMENT, "the method \"" + excerpt(method) + "\" is not GET, POST or HEAD");
    return nullptr;
  }
  std::string reason;
  int code = qvcurl::checkUrl(url, reason);
  if (code != ERR_NONE) {
    error.set(code, reason);
    return nullptr;
  }

  long long maxBody = kDefaultMaxBodyBytes;
  std::string extraCa;
  if (QuorvelSettingMgr* settings = QuorvelSettingMgr::getSettingMgrInstance()) {
    int bound = 0;
    if (settings->getInt(kSettingsCategory, kSettingMaxBodyBytes, bound) == 0 && bound > 0) maxBody = bound;
    qvTypes::String file;
    if (settings->getString(kSettingsCategory, kSettingExtraCaFile, file) == 0) extraCa = toUtf8(file);
  }
  if (mProfile.maxBodyBytes() > 0) maxBody = mProfile.maxBodyBytes();
  if (!extraCa.empty() && ::access(extraCa.c_str(), R_OK) != 0) {
    // Fewer trusted roots, never more: the system store still applies.
    QV_LOG(3, "The extra CA file %s (setting QVCore.System.%s) cannot be read: %s; using the system CA store "
              "only.\n", extraCa.c_str(), kSettingExtraCaFile, std::strerror(errno));
    extraCa.clear();
  }

  std::unique_ptr<qvcurl::Transfer> transfer = qvcurl::Transfer::create(reason);
  if (!transfer) {
    error.set(ERR_INTERNAL, reason);
    return nullptr;
  }
  Transaction* transaction =
      new Transaction(method, url, mProfile, mHeaders, maxBody, std::move(extraCa), std::move(transfer));
  std::lock_guard<std::mutex> guard(mLock);
  mTransactions.insert(transaction);
  error.clear();
  return transaction;
}

bool Agent::destroyTransaction(Transaction* transaction, Error& error) {
  {
    std::lock_guard<std::mutex> guard(mLock);
    if (transaction == nullptr || mTransactions.erase(transaction) == 0) {
      error.set(ERR_INVALID_ARGUMENT, "not a transaction of this agent");
      return false;
    }
  }
  delete transaction;
  error.clear();
  return true;
}

bool resolveRedirectLocation(const std::string& requestUrl, const std::string& location, std::string& result,
                             Error& error) {
  if (location.empty()) {
    error.set(ERR_INVALID_ARGUMENT, "an empty Location");
    return false;
  }
  std::string joined, reason;
  // A location with a scheme of its own is judged by that scheme first.
  std::size_t colon = location.find(':');
  std::size_t slash = location.find_first_of("/?#");
  if (colon != std::string::npos && (slash == std::string::npos || colon < slash) && colon > 0 &&
      std::isalpha(static_cast<unsigned char>(location[0])) != 0) {
    std::string scheme = location.substr(0, colon);
    if (strcasecmp(scheme.c_str(), "http") != 0 && strcasecmp(scheme.c_str(), "https") != 0) {
      error.set(ERR_UNSUPPORTED_SCHEME, "the scheme \"" + excerpt(scheme) + "\" is not allowed (http and https only)");
      return false;
    }
  }
  if (!qvcurl::resolveReference(requestUrl, location, joined, reason)) {
    error.set(ERR_INVALID_ARGUMENT, reason);
    return false;
  }
  int code = qvcurl::checkUrl(joined, reason);
  if (code != ERR_NONE) {
    error.set(code, reason);
    return false;
  }
  result = joined;
  error.clear();
  return true;
}

bool sameOrigin(const std::string& url, const std::string& other) {
  std::string a, b;
  return qvcurl::originOf(url, a) && qvcurl::originOf(other, b) && a == b;
}

}  // namespace Hivra
