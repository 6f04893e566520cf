#include "SessionProtocol.h"

#include <optional>
#include <vector>

#include "Constants.h"
#include "PlatformQueries.h"
#include "platform/Facade.h"
#include "platform/Log.h"
#include "platform/NR_Constants.h"
#include "platform/NR_EngineUtils.h"
#include "transport/DcdTransport.h"

namespace flp2 {

namespace {

ProtocolResponse responseWith(int code) {
  ProtocolResponse response;
  response.mCode = code;
  return response;
}

}  // namespace

SessionProtocol::SessionProtocol(int runState) : Protocol(runState) {
  QV_LOG(8, "[18344]Protocol constructed");
  std::unique_ptr<txn::FileSession> store(new txn::FileSession());
  fillSessionAttributes(*store, "[18344]");
  store->setAttribute(txn::kAttrProtocolVer, txn::kSessionProtocolVersion);
  mFileSession = store.get();
  mSessionAttributes = std::move(store);
}

SessionProtocol::~SessionProtocol() {
  QV_LOG(8, "[18344]Destroying the flp2::SessionProtocol instance.");
}

bool SessionProtocol::isUsableSessionId(const std::string& id) {
  if (id.empty() || id.size() > txn::FileSession::kMaxSessionIdLength) return false;
  for (unsigned char c : id) {
    if (c <= 0x20 || c >= 0x7f) return false;
  }
  return true;
}

bool SessionProtocol::isCancelled() {
  std::lock_guard<std::mutex> guard(mRegistrationLock);
  return mCancelled;
}

ProtocolResponse SessionProtocol::handleRequest(ProtocolRequest* request) {
  if (request == nullptr) {
    QV_LOG(3, "[18344]No request to handle.");
    return responseWith(FAILED);
  }
  int code = FAILED;
  if (!mSessionAttributes->isValid()) {
    QV_LOG(3, "[18344]The current session is NOT valid,  wait for session registration finished!");
    if (!ensureSession(*request, code)) {
      QV_LOG(3, "Unable to establish a session. Aborting this content update attempt.");
      return responseWith(code);
    }
  }
  ProtocolResponse first = Protocol::handleRequest(request);
  if (first.mCode != SESSION_ERROR) return first;

  QV_LOG(3,
         "Encountered a session-related error when executing a content update. Attempting to re-establish the "
         "session.");
  if (!ensureSession(*request, code)) {
    QV_LOG(3, "Unable to re-establish the session. Aborting this content update attempt.");
    return responseWith(code);
  }
  QV_LOG(3, "Successfully re-established a session and re-sending the original content update request.");
  // A second session error is returned as it is.
  return Protocol::handleRequest(request);
}

bool SessionProtocol::ensureSession(ProtocolRequest& request, int& code) {
  code = FAILED;
  const bool forced = request.getTrigger() == ProtocolRequest::MANUAL;
  if (mRegistering) {
    QV_LOG(3, "[18344]Session is registering, return failed to service ");
    return false;
  }
  QV_LOG(3, "[18344] Session is not valid and not in registering, register now");
  if (registerSession(forced)) {
    QV_LOG(8, "[18344]Session register successful, handle request now");
    // A cancel that came during the registration ends the request here.
    if (!isCancelled()) return true;
  }
  if (isCancelled()) {
    QV_LOG(3, "[18344]The request was cancelled while the session was being established.");
    request.cancelRequest();
    code = CANCELLED;
    return false;
  }
  QV_LOG(3, "[18344]Registering session failed, return to service ");
  return false;
}

std::unique_ptr<DcdTransport> SessionProtocol::makeRegistrationTransport() {
  std::unique_ptr<DcdTransport> transport = mSettings->createTransport();
  if (!transport) {
    QV_LOG(3, "[18344]Unable to create a transport for the registration.");
    return nullptr;
  }
  if (!mSettings->mServerUrl || mSettings->mServerUrl->empty()) {
    QV_LOG(3, "[18344]No server URL is set. Unable to register a session.");
    return nullptr;
  }
  std::string url = *mSettings->mServerUrl;
  QV_LOG(8, "[18344]For registeration-request, Setting server url to %s", url.c_str());
  QV_LOG(3, "[18344]For registeration-request, Setting server url to %s", url.c_str());
  NR_EngineUtils::replacePatternsInURL(url);
  transport->mUrl = url;
  transport->mMethod = DcdTransport::POST;

  std::vector<std::string> profiles;
  const bool haveDefault = mSettings->mDefaultConnProf.has_value();
  if (haveDefault) {
    QV_LOG(8, "[18344]find the default profile, use it as backup");
  } else {
    QV_LOG(8, "[18344]Could not find the default profile, use empty");
  }
  if (mSettings->mSessionProfile && !mSettings->mSessionProfile->empty()) {
    QV_LOG(8, "[18344]find the SessionProfile, try to use it");
    profiles.push_back(*mSettings->mSessionProfile);
  } else {
    QV_LOG(8, "[18344]Could not find the SessionProfile or it's empty, try to use default");
  }
  if (haveDefault) profiles.push_back(*mSettings->mDefaultConnProf);
  transport->mProfileNames = profiles;
  return transport;
}

bool SessionProtocol::registerSession(bool forced) {
  QV_LOG(8, "[18344]Protocol registerSession");
  if (!NR_EngineUtils::isNetworkAccessAllowed()) {
    if (!forced) {
      QV_LOG(3,
             "[18344]Network access is, at this instant in time, not allowed. Publishing appropriate event.");
      if (QV_EventAndStatusFacade* facade = QV_EventAndStatusFacade::instance()) {
        facade->publishEvent(QV_Event(NR_Constants::EVENT_NOTIFY_NETWORK_ERROR, 0), nullptr);
      }
      return false;
    }
    QV_LOG(8,
           "[18344]As forceRegister is true, we will continue to register even Network access is not allowed now");
  }
  // The old session is dropped whatever the outcome.
  mSessionAttributes->setValid(false);

  std::unique_ptr<DcdTransport> transport = makeRegistrationTransport();
  if (!transport) return false;

  txn::ServiceRegistrationRequest request;
  request.setApplicationId(kApplicationUrn);
  std::unique_ptr<txn::ClientId> client(new txn::ClientId());
  client->setSubscriberId("");
  client->setDeviceId("");
  request.setClientId(std::move(client));
  request.setClientMsisdn(queryMsisdn(QV_EventAndStatusFacade::instance()));
  request.setIsContentEncrypted(false);

  std::unique_ptr<txn::Response> response;
  {
    txn::Transaction transaction(&request, transport.get(), mSessionAttributes.get());
    {
      std::lock_guard<std::mutex> guard(mRegistrationLock);
      if (mCancelled) return false;
      mRegistration = &transaction;
    }
    mRegistering = true;
    response = transaction.execute();
    mRegistering = false;
    std::lock_guard<std::mutex> guard(mRegistrationLock);
    mRegistration = nullptr;
    if (mCancelled) return false;
  }
  return judgeRegistration(response.get(), transport->mStatusCode);
}

bool SessionProtocol::judgeRegistration(const txn::Response* response, int httpStatus) {
  if (response == nullptr) {
    QV_LOG(8, "[18344]Executing transaction return NULL");
    return false;
  }
  if (httpStatus != -1 && mSettings->mFallbackHttpCodes.count(httpStatus) != 0) {
    QV_LOG(3,
           "[18344]Determined that the transport-level response's STATUS code indicates that the currently contact "
           "server does not support a DCD client. Reporting a WRONG_VERSION error.");
    QV_LOG(3, "[18344] Fallback detected");
    return false;
  }
  const txn::Result* result = response->getResult();
  if (response->getType() != "ServiceRegistrationResponse") {
    QV_LOG(3,
           "[18344]Unable to obtain a ServiceRegistrationResponse response after sending a request. Instead, got "
           "the type, %s. Will attempt to see if a status primitive was returned by the server.",
           response->getType().c_str());
    QV_LOG(3, "[18344]Wrong ServiceRegistrationResponse response %s. ", response->getType().c_str());
    if (response->getType() == "Status" && result != nullptr && result->getCode() != nullptr) {
      QV_LOG(3, "[18344]Encountered a status primitive with the status-code %d", result->getCode()->code());
      QV_LOG(3, "[18344]Encountered a status primitive with the status-code %d", result->getCode()->code());
    }
    return false;
  }
  if (result != nullptr && result->getCode() != nullptr && result->getCode()->isError()) {
    QV_LOG(3, "[18344]The registration was answered with the error %d. No session was granted.",
           result->getCode()->code());
    return false;
  }
  const std::string* id = response->getSessionId();
  if (id == nullptr || id->empty()) {
    QV_LOG(3, "[18344]The registration response carries no session id. No session was granted.");
    return false;
  }
  if (!isUsableSessionId(*id)) {
    QV_LOG(3,
           "[18344]The server granted a session id of %zu bytes that is not 1 to %zu bytes of printable ASCII. Not "
           "storing it.",
           id->size(), txn::FileSession::kMaxSessionIdLength);
    return false;
  }
  mFileSession->writeSessionId(*id);
  std::optional<std::string> stored = mFileSession->getCurrentSessionId();
  if (!stored || *stored != *id) {
    QV_LOG(3, "[18344]The granted session id could not be stored in %s.", mFileSession->getPath().c_str());
    mFileSession->setValid(false);
    return false;
  }
  // The id is a credential: only the fact that one arrived is logged.
  QV_LOG(3, "[18344] Got a session id from the server and stored it.");
  return true;
}

bool SessionProtocol::cancel() {
  QV_LOG(8, "[18344]SessionProtocol cancel request");
  bool registrationCancelled = true;
  {
    std::lock_guard<std::mutex> guard(mRegistrationLock);
    mCancelled = true;
    if (mRegistration != nullptr) registrationCancelled = mRegistration->cancel();
  }
  const bool updateCancelled = Protocol::cancel();
  return registrationCancelled && updateCancelled;
}

}  // namespace flp2
