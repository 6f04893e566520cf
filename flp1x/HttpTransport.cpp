#include "HttpTransport.h"

#include <strings.h>

#include <cstring>
#include <utility>

#include "Flp1xPlatformWrapper.h"
#include "Url.h"
#include "framework/Protocol.h"
#include "platform/CnxProfile.h"
#include "platform/Hivra.h"
#include "platform/Log.h"
#include "platform/Settings.h"

namespace {

// Connection and response time-out of every profile, in the stack's unit.
constexpr int kTimeout = 120000;
constexpr int kBodyPieceBytes = 1024;
constexpr int kContentRequestReceived = 2;  // request state: the body has arrived

struct AgentDeleter {
  void operator()(Hivra::Agent* agent) const {
    Hivra::Error error;
    Hivra::Agent::destroy(agent, error);
    if (error.isError()) QV_LOG(3, "Unable to destroy the Hivra agent: %s", error.toString());
  }
};

// The process-wide agent. Made by the first init, on the engine's thread;
// the lock only keeps a test that resets it honest.
std::mutex gAgentLock;
std::unique_ptr<Hivra::Agent, AgentDeleter> gAgent;

// The body bound the stack applies to a transaction of this agent.
long long bodyBoundOf(const Hivra::Agent& agent) {
  long long bound = Hivra::kDefaultMaxBodyBytes;
  if (QuorvelSettingMgr* settings = QuorvelSettingMgr::getSettingMgrInstance()) {
    int value = 0;
    if (settings->getInt(Hivra::kSettingsCategory, Hivra::kSettingMaxBodyBytes, value) == 0 && value > 0) {
      bound = value;
    }
  }
  if (agent.profile().maxBodyBytes() > 0) bound = agent.profile().maxBodyBytes();
  return bound;
}

}  // namespace

// ---- Transport

Transport::~Transport() { QV_LOG(8, "Transport was destroied!"); }

bool Transport::cancel() {
  mResult.store(TRANSPORT_CANCELLED);
  return true;
}

void Transport::failUnlessCancelled() {
  int expected = TRANSPORT_OK;
  mResult.compare_exchange_strong(expected, TRANSPORT_FAILED);
}

// ---- HttpTransport

HttpTransport* createHttpTransport() { return new HttpTransport(); }

void HttpTransport::TransactionDeleter::operator()(Hivra::Transaction* transaction) const {
  Hivra::Error error;
  std::lock_guard<std::mutex> guard(gAgentLock);
  if (gAgent) gAgent->destroyTransaction(transaction, error);
  QV_LOG(8, "Destroy Transaction:%s", error.toString());
}

HttpTransport::~HttpTransport() { destroyTransaction(); }

void HttpTransport::resetAgentForTesting() {
  std::lock_guard<std::mutex> guard(gAgentLock);
  gAgent.reset();
}

bool HttpTransport::cancel() {
  std::lock_guard<std::mutex> guard(mTransactionLock);
  mResult.store(TRANSPORT_CANCELLED);
  if (mTransaction) mTransaction->abort();
  return true;
}

PtrRef<HttpResponse> HttpTransport::update() {
  mResponse.reset(new HttpResponse());
  mResult.store(TRANSPORT_OK);
  if (!mRequest) {
    QV_LOG(3, "HttpTransport::update: there is no request to send!\n");
    failUnlessCancelled();
    return mResponse;
  }

  std::string rest, scheme;
  splitScheme(mRequest->mUrl, rest, scheme);
  if (!init(scheme, rest)) {
    destroyTransaction();
    failUnlessCancelled();
    QV_LOG(3, "Init Hivra::Transaction error!\n");
    return mResponse;
  }
  if (!sendRequest()) {
    destroyTransaction();
    return mResponse;
  }
  BodyReader reader;
  if (receiveBody(reader)) {
    decodeBody(reader);
    QV_LOG(3, "HttpTransport update complate!\n");
  }
  destroyTransaction();
  return mResponse;
}

bool HttpTransport::transactionUrl(const std::string& scheme, const std::string& rest, std::string& url,
                                   std::string& reason) {
  const std::string host = hostOf(rest);
  int port = portOf(rest);
  if (!hasExplicitPort(rest)) port = strcasecmp(scheme.c_str(), "https://") == 0 ? 443 : 80;
  url = scheme + host + ":" + std::to_string(port) + pathOf(rest);
  if (host.empty()) {
    reason = "the URL names no host";
    return false;
  }
  if (port < 1 || port > 65535) {
    reason = "the port " + std::to_string(port) + " is not between 1 and 65535";
    return false;
  }
  return true;
}

bool HttpTransport::init(const std::string& scheme, const std::string& rest) {
  Hivra::ConnectionProfile profile;
  profile.setConnectionTimeout(kTimeout);
  profile.setResponseTimeout(kTimeout);

  Flp1xPlatformWrapper* wrapper = Flp1xPlatformWrapper::getInstance();
  QV_LOG(3, "Add gatewary:%s", wrapper->getConnProfile().c_str());
  configureProfile(profile, wrapper->getConnProfile());
  if (wrapper->isDefaultProfileAllowed()) {
    QV_LOG(3, "Add gatewary:%s", wrapper->getDefaultProfile().c_str());
    configureProfile(profile, wrapper->getDefaultProfile());
  }
  profile.disableContentDecoding();
  Hivra::Headers headers;

  Hivra::Agent* agent = nullptr;
  {
    std::lock_guard<std::mutex> guard(gAgentLock);
    if (!gAgent) {
      QV_LOG(8, "Create agent");
      Hivra::Error error;
      gAgent.reset(Hivra::Agent::create(profile, headers, error));
      if (!gAgent) {
        QV_LOG(3, "HttpTransport::init: create Hivra::Hivra::Agent error: %s\n", error.toString());
        return false;
      }
    }
    agent = gAgent.get();
  }

  std::string url, reason;
  const bool usable = transactionUrl(scheme, rest, url, reason);
  QV_LOG(3, "Create Transaction for:%s", url.c_str());
  if (!usable) {
    QV_LOG(3, "HttpTransport::init: create Hivra::Transport error: %s\n", reason.c_str());
    return false;
  }
  Hivra::Error error;
  TransactionPtr transaction(agent->createSynchronizedTransaction("GET", url, error));
  if (!transaction || error.isError()) {
    QV_LOG(3, "HttpTransport::init: create Hivra::Transport error: %s\n", error.toString());
    return false;
  }
  mBodyBound = bodyBoundOf(*agent);
  {
    std::lock_guard<std::mutex> guard(mTransactionLock);
    mTransaction = std::move(transaction);
    // A cancel that came while the transaction was being made had nothing
    // to abort yet.
    if (mResult.load() == TRANSPORT_CANCELLED) mTransaction->abort();
  }
  QV_LOG(8, "HttpTransport::init: Successed!\n");
  return true;
}

void HttpTransport::configureProfile(Hivra::ConnectionProfile& profile, const std::string& name) {
  CNX_ProfileRecord record;
  const int rc = CNX_ReadProfile(name.c_str(), &record, 0, 0);
  if (rc != 0) {
    QV_LOG(3, "CNX_ReadProfile failed with error :%d ", rc);
    QV_LOG(3, "Open profile failed:%s", name.c_str());
    return;
  }
  struct Proxy {
    std::string host;
    int port;
    bool enabled;
  };
  const Proxy proxies[] = {
      {std::string(record.proxy1Host, strnlen(record.proxy1Host, sizeof record.proxy1Host)), record.proxy1Port,
       record.proxy1Enabled != 0},
      {std::string(record.proxy2Host, strnlen(record.proxy2Host, sizeof record.proxy2Host)), record.proxy2Port,
       record.proxy2Enabled != 0},
  };
  bool any = false;
  for (const Proxy& proxy : proxies) {
    // A slot the platform marks disabled is not used, whatever it holds.
    if (!proxy.enabled || proxy.host.empty() || proxy.port == 0) continue;
    any = true;
    QV_LOG(3, "Configuring this transport with proxy, %s:%d, name:%s", proxy.host.c_str(), proxy.port, name.c_str());
    profile.addProfile(proxy.host, proxy.port, name);
  }
  if (!any) {
    QV_LOG(3, "Configuring this transport to use the CNX profile name, %s", name.c_str());
    profile.addProfile("", 0, name);
  }
}

bool HttpTransport::sendRequest() {
  Hivra::Transaction& transaction = *mTransaction;
  const HeaderList& fields = mRequest->mEntity.mHeaders;
  const std::string text = fields.toText();
  Hivra::Headers headers;
  // Field by field, so that each one the stack refuses (a name that is not
  // a token, a value with a control character) is logged and left out.
  for (const HeaderList::Field& field : fields.fields()) headers.add(field.first, field.second);

  Hivra::Error error;
  const bool sent = transaction.sendRequestHeaders(headers, error, 0) && transaction.finishRequest(error);
  QV_LOG(3, "Send request headers: \n%s", qvlog::payload(text).c_str());
  if (!sent) {
    QV_LOG(3, "Send request headers error: %s", error.toString());
    failUnlessCancelled();
    return false;
  }
  const bool content = mRequest->mType == HttpRequest::TYPE_CONTENT && mProtocolRequest != nullptr;
  if (content) mProtocolRequest->setStatus(ProtocolRequest::DOWNLOADING);

  const int status = transaction.receiveStatus(error);
  if (status < 0 || error.isError()) {
    QV_LOG(3, "Receive status error:%s", error.toString());
    failUnlessCancelled();
    return false;
  }
  mResponse->mStatusCode = status;
  if (status != 200) {
    QV_LOG(3, "Network status error:%d", status);
    mResult.store(TRANSPORT_FAILED);
  }

  const Hivra::Headers* received = transaction.receiveResponseHeaders(error);
  if (received == nullptr) {
    QV_LOG(3, "Receive response headers error!");
    failUnlessCancelled();
    QV_LOG(3, "Receive headers failed!");
    return false;
  }
  QV_LOG(8, "Receive headers succesed!");
  mResponse->mEntity.mHeaders.parseHeaders(received->toText());
  QV_LOG(3, "Receive headers: \n%s", qvlog::payload(mResponse->mEntity.mHeaders.toText()).c_str());
  return true;
}

bool HttpTransport::receiveBody(BodyReader& reader) {
  QV_LOG(3, "Begin reveive body!");
  Hivra::Transaction& transaction = *mTransaction;
  char piece[kBodyPieceBytes];
  Hivra::Error error;
  // The stack ends the body with ERR_END_OF_BODY and stops a body over its
  // bound with ERR_BODY_TOO_LARGE, so what is held here stays bounded.
  for (;;) {
    const int got = transaction.readBody(piece, kBodyPieceBytes, error);
    if (got <= 0) break;
    if (!reader.append(piece, static_cast<std::size_t>(got))) {
      QV_LOG(3, "Receive response error, out of memory after %zu bytes\n", reader.bytes().size());
      failUnlessCancelled();
      return false;
    }
  }
  if (error.code() != Hivra::ERR_END_OF_BODY) {
    QV_LOG(3, "Receive response error, %s\n", error.toString());
    failUnlessCancelled();
    return false;
  }
  QV_LOG(3, "Receive response body successed with length: %d", static_cast<int>(reader.bytes().size()));
  if (mRequest->mType == HttpRequest::TYPE_CONTENT && mProtocolRequest != nullptr) {
    mProtocolRequest->setState(kContentRequestReceived);
  }
  return true;
}

void HttpTransport::decodeBody(BodyReader& reader) {
  if (mResponse->mEntity.mHeaders.get("Content-Type").find("gzip") != std::string::npos) {
    QV_LOG(3, "Meet gzip body, unzip it!");
    std::string inflated;
    if (!unzip(reader.bytes(), inflated, static_cast<std::size_t>(mBodyBound))) {
      // Half a body is no body: nothing of it is handed on.
      failUnlessCancelled();
      return;
    }
    reader.reset(std::move(inflated));
  }
  QV_LOG(3, "Receive Response Body: \n%s", qvlog::payload(reader.bytes()).c_str());
  if (mResponse->parseBody(reader)) {
    QV_LOG(3, "Parse body successed.");
  } else {
    QV_LOG(3, "Parse response body error!\n");
    failUnlessCancelled();
  }
}

void HttpTransport::destroyTransaction() {
  TransactionPtr closing;
  {
    std::lock_guard<std::mutex> guard(mTransactionLock);
    closing = std::move(mTransaction);
  }
  // cancel can no longer reach it: destroyed outside the lock.
}
