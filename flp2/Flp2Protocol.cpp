#include "Flp2Protocol.h"

#include "Constants.h"
#include "NotificationHandler.h"
#include "PlatformQueries.h"
#include "platform/ContentCache.h"
#include "platform/Facade.h"
#include "platform/Log.h"

namespace flp2 {

Protocol::Protocol(int runState) : ::Protocol(runState) {
  mSettings.reset(new ProtocolSettings());
  mSessionAttributes.reset(new txn::Session());
  fillSessionAttributes(*mSessionAttributes, "");
  setUpContainer();
}

Protocol::~Protocol() {
  QV_LOG(8, "Destroying the flp2::Protocol instance.");
  mContainerId.reset();
  mSessionAttributes.reset();
  {
    std::lock_guard<std::mutex> guard(mUpdaterLock);
    mContentUpdater.reset();
  }
  mSettings.reset();
}

void Protocol::fillSessionAttributes(txn::Session& session, const char* logTag) {
  QV_EventAndStatusFacade* facade = QV_EventAndStatusFacade::instance();
  session.setAttribute(txn::kAttrPhoneModelId, queryModelId(facade));
  session.setAttribute(txn::kAttrPhoneSoftwareVersion, querySoftwareVersion(facade));
  session.setAttribute(txn::kAttrSubscriberId, queryMsisdn(facade));
  if (mSettings->mIsMsisdnReported) {
    const char* value = *mSettings->mIsMsisdnReported ? "true" : "false";
    session.setAttribute(txn::kAttrMsisdnReported, value);
    QV_LOG(8, "%sSet the is-msisdn-reported session attribute to %s", logTag, value);
  }
  if (mSettings->mEnableGzip) {
    const char* value = *mSettings->mEnableGzip ? "true" : "false";
    session.setAttribute(txn::kAttrGzipEnabled, value);
    QV_LOG(8, "%sIs gzip enabled? %s", logTag, value);
  }
}

void Protocol::setUpContainer() {
  NR_ContentCache* cache = NR_ContentCache::getInstance();
  if (cache == nullptr) {
    QV_LOG(3, "Attempting to determine if container exists. Unable to access storage cache.");
    return;
  }
  std::string name = kDefaultContainerName;
  if (mSettings->mContainerNames.size() == 1) {
    name = mSettings->mContainerNames.front();
    QV_LOG(8, "Retrieving container named %s", name.c_str());
  } else {
    QV_LOG(3,
           "Settings should only declare that a single container name is supported. Instead, it declares that %d "
           "container names are supported.  Defaulting to container name %s",
           static_cast<int>(mSettings->mContainerNames.size()), kDefaultContainerName);
  }
  Container container;
  if (cache->get(name, container) == 0 || cache->save(name, Container()) == 0) {
    QV_LOG(8, "Determined that the content-cache container for all of the FLP client's feeds and items will be %s",
           name.c_str());
    mContainerId.reset(new qvTypes::ID(name));
  } else {
    QV_LOG(3, "Unable to create a new container. FLP client will be unable to save feed and items.");
  }
}

ProtocolResponse Protocol::handleRequest(ProtocolRequest* request) {
  if (!mContainerId) {
    QV_LOG(3, "Flp2 can not get container, quit.");
    ProtocolResponse failed;
    failed.mCode = FAILED;
    return failed;
  }
  ContentUpdater* updater = nullptr;
  {
    std::lock_guard<std::mutex> guard(mUpdaterLock);
    mContentUpdater.reset(new ContentUpdater(request, *mContainerId, mSessionAttributes.get(), mSettings.get()));
    updater = mContentUpdater.get();
  }
  ProtocolResponse response = updater->run();
  std::lock_guard<std::mutex> guard(mUpdaterLock);
  mContentUpdater.reset();
  return response;
}

bool Protocol::handleMessage(PushMessage* message) {
  NotificationContext context(message, mSessionAttributes.get(), mSettings.get());
  const bool handled = handleNotification(context);
  if (!context.needsContentUpdate) return handled;
  if (!context.request) {
    QV_LOG(3, "WAP push needs content update but returned a NULL request");
    return handled;
  }
  context.request->setProtocolVersion(message->getProtocolVersion());
  // Virtual: the session variant makes sure of its session first.
  const ProtocolResponse response = handleRequest(context.request.get());
  QV_LOG(8, "returned from content update caused by wap push with code %d", response.mCode);
  return response.mCode == SUCCESS;
}

bool Protocol::cancel() {
  std::lock_guard<std::mutex> guard(mUpdaterLock);
  if (!mContentUpdater) return true;
  if (!mContentUpdater->cancel()) {
    QV_LOG(3, "Unable to cancel the currently pending ContentUpdater task.");
    return false;
  }
  if (ProtocolRequest* request = mContentUpdater->getRequest()) {
    QV_LOG(8, "Set the protocol-request state to cancelled.");
    request->cancelRequest();
  }
  QV_LOG(8, "Successfully canceled the currently pending ContentUpdater task.");
  return true;
}

}  // namespace flp2
