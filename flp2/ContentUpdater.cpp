#include "ContentUpdater.h"

#include <algorithm>
#include <climits>
#include <ctime>

#include "Constants.h"
#include "Entry.h"
#include "PlatformQueries.h"
#include "platform/Facade.h"
#include "platform/Hivra.h"
#include "platform/Log.h"
#include "platform/NR_Constants.h"
#include "platform/NR_EngineUtils.h"

namespace flp2 {

namespace {

// Progress of the content-update transaction.
class ContentUpdateListener : public TransactionListener {
 public:
  ContentUpdateListener(ProtocolRequest* request, QV_EventAndStatusFacade* facade)
      : mRequest(request), mFacade(facade) {}
  void notify(int code) override {
    switch (code) {
      case STARTED:
        if (mRequest != nullptr) mRequest->setState(STATE_TRANSACTION_STARTED);
        break;
      case FAILED:
        publish(NR_Constants::EVENT_NOTIFY_NETWORK_ERROR);
        break;
      case SENDING:
        publish(NR_Constants::EVENT_NOTIFY_NETWORK_AVAILABLE);
        break;
      default:
        break;
    }
  }

 private:
  void publish(const char* topic) {
    if (mFacade != nullptr) mFacade->publishEvent(QV_Event(topic, 0), nullptr);
  }
  ProtocolRequest* mRequest;
  QV_EventAndStatusFacade* mFacade;
};

const txn::RequestTrigger* dcdTrigger(ProtocolRequest::Trigger trigger) {
  switch (trigger) {
    case ProtocolRequest::MANUAL:
      return &txn::RequestTrigger::MAN;
    case ProtocolRequest::SIM:
      return &txn::RequestTrigger::SIM;
    case ProtocolRequest::MASTER_RESET:
      return &txn::RequestTrigger::MR;
    case ProtocolRequest::MASTER_CLEAR:
      return &txn::RequestTrigger::MC;
    case ProtocolRequest::TTL:
      return &txn::RequestTrigger::TTL;
    case ProtocolRequest::SERVER:
      return &txn::RequestTrigger::SVR;
    case ProtocolRequest::SERVER_PUSH:
    default:
      QV_LOG(3, "Unsupported protocolrequest::Trigger, SERVER_PUSH.");
      return nullptr;
  }
}

std::string joinIds(const std::vector<qvTypes::ID>& ids) {
  std::string text;
  for (const qvTypes::ID& id : ids) text += id + ", ";
  return text;
}

}  // namespace

ContentUpdater::ContentUpdater(ProtocolRequest* request, const qvTypes::ID& containerId,
                               txn::Session* sessionAttributes, ProtocolSettings* settings)
    : mRequest(request),
      mContainerId(containerId),
      mSessionAttributes(sessionAttributes),
      mSettings(settings),
      mFacade(QV_EventAndStatusFacade::instance()) {
  NR_ContentCache* cache = NR_ContentCache::getInstance();
  if (cache == nullptr) {
    QV_LOG(3, "While trying to create a container, unable to obtain the content-cache.");
  } else {
    Container container;
    if (cache->get(mContainerId, container) != 0 && cache->save(mContainerId, Container()) != 0) {
      QV_LOG(3, "Unable to create a container named %s", mContainerId.c_str());
    }
  }
}

ContentUpdater::~ContentUpdater() {
  mTransaction.reset();
}

bool ContentUpdater::isCancelled() {
  std::lock_guard<std::mutex> guard(mCancelMutex);
  return mCancelled;
}

bool ContentUpdater::cancel() {
  std::lock_guard<std::mutex> guard(mCancelMutex);
  mCancelled = true;
  if (mTransaction) {
    if (!mTransaction->cancel()) {
      QV_LOG(3, "Unable to cancel the currently pending DCD transaction.");
      return false;
    }
    if (mRequest != nullptr) mRequest->setState(REQUEST_CANCELLED);
    QV_LOG(8, "Successfully cancelled the currently pending DCD transaction.");
  }
  return true;
}

ProtocolResponse ContentUpdater::run() {
  ProtocolResponse response;
  response.mCode = FAILED;
  mSessionAttributes->setAttribute(txn::kAttrFallbackCode, mSettings->fallbackCodeText());
  if (mRequest->getType() == ProtocolRequest::CONTENT) {
    response.mCode = contentUpdate();
    if (response.mCode != SUCCESS) return response;
    mRequest->setStatus(ProtocolRequest::COMPLETE);
    mRequest->setType(ProtocolRequest::DATA);
  }
  return downloadAssets();
}

// ---------------------------------------------------------------------------
// Content update

std::unique_ptr<txn::ContentUpdateRequest> ContentUpdater::buildContentUpdateRequest() {
  std::unique_ptr<txn::ContentUpdateRequest> request(new txn::ContentUpdateRequest());
  request->setExpected(&txn::ExpectedContent::COMPLETE);
  const txn::RequestTrigger* trigger = dcdTrigger(mRequest->getTrigger());
  if (trigger == nullptr) {
    QV_LOG(3, "Unable to convert the ProtocolRequest::Trigger to a txn::RequestTrigger. Aborting");
    return nullptr;
  }
  request->setTrigger(trigger);

  std::unique_ptr<txn::Application> application(new txn::Application());
  application->setId(kApplicationUrn);
  application->setName(kApplicationName);
  if (mSettings->mAppSyncAnchor) {
    application->setSyncAnchor(*mSettings->mAppSyncAnchor);
  } else {
    QV_LOG(3,
           "Unable to obtain the application's sync anchor from settings. Setting the sync-anchor to the empty "
           "string.");
    application->setSyncAnchor("");
  }
  std::unique_ptr<txn::PropertySet> metaData(new txn::PropertySet());
  metaData->setProperty("istimereliable", queryTimeReliable(mFacade));
  metaData->setProperty("currenttime", queryCurrentTime(mFacade));
  const std::string storage = queryStorageAvailable();
  metaData->setProperty("availablefile", storage);
  metaData->setProperty("availableram", storage);
  metaData->setProperty("currentlanguage", queryLanguageCode(mFacade));
  metaData->setProperty("installedlanguages", queryInstalledLanguages(mFacade));
  application->setMetaData(std::move(metaData));

  NR_ContentCache* cache = NR_ContentCache::getInstance();
  Container container;
  if (cache == nullptr) {
    QV_LOG(3, "Unable to obtain the set of feeds currently stored on the client. Creating request anyway.");
  } else if (cache->get(mContainerId, container) != 0) {
    QV_LOG(3, "While trying to from the content-update-request, unable to obtain container. Creating request anyway.");
  } else {
    for (const qvTypes::ID& channelId : container.getChannelIds()) {
      Channel channel;
      if (cache->get(channelId, channel) != 0) {
        QV_LOG(3, "Unable to obtain channel %s. Skipping.", channelId.c_str());
        continue;
      }
      if (channel.getId().empty()) {
        QV_LOG(3, "Encountered an invalid channel id. Skipping.");
        continue;
      }
      std::string anchor =
          toUtf8(channel.getAttributes().getString(kChannelSyncAnchorAttr, qvTypes::String(), kDefaultAttrQualifier));
      if (anchor.empty()) QV_LOG(3, "Encountered an invalid sync-anchor. Setting to empty string.");
      std::unique_ptr<txn::ContentSet> feed(new txn::ContentSet());
      feed->setId(channel.getId());
      feed->setName("feed");
      feed->setSyncAnchor(anchor);
      application->addContentSet(std::move(feed));
    }
  }
  request->setApplication(std::move(application));
  QV_LOG(8, "Successfully created content-update-request");
  return request;
}

std::unique_ptr<DcdTransport> ContentUpdater::makeTransport(const txn::Request& request) {
  std::string url = mSettings->mServerUrl ? *mSettings->mServerUrl : std::string();
  int method = DcdTransport::POST;
  const bool byUrl = request.getType() == "DataRequestByUrl";
  if (byUrl) {
    method = DcdTransport::GET;
    const std::string& own = static_cast<const txn::DataRequestByUrl&>(request).getUrl();
    if (!own.empty()) url = own;
  }
  if (url.empty()) {
    QV_LOG(3, "Unable to determine the URL to send this data-request to. Skipping.");
    return nullptr;
  }
  QV_LOG(8, "Setting url for data request to be %s", url.c_str());
  QV_LOG(3, "Setting url for data request to be %s", url.c_str());
  std::unique_ptr<DcdTransport> transport = mSettings->createTransport();
  if (!transport) return nullptr;
  NR_EngineUtils::replacePatternsInURL(url);
  transport->mUrl = url;
  transport->mMethod = method;
  if (byUrl) {
    // An asset URL comes from the server's answer: the session id and the
    // MSISDN go only to the configured server's own origin.
    std::string server = mSettings->mServerUrl ? *mSettings->mServerUrl : std::string();
    NR_EngineUtils::replacePatternsInURL(server);
    if (!Hivra::sameOrigin(url, server)) {
      QV_LOG(3, "The asset URL %s is not on the server's origin. Fetching it without the session id and the MSISDN.",
             url.c_str());
      transport->mSendCredentials = false;
    }
  }
  return transport;
}

void ContentUpdater::chooseProfiles(DcdTransport& transport) {
  if (mSessionAttributes->getAttribute(txn::kAttrProtocolVer) != txn::kSessionProtocolVersion) return;
  std::vector<std::string> profiles;
  const bool haveDefault = mSettings->mDefaultConnProf.has_value();
  if (haveDefault) {
    QV_LOG(8, "[18344]find the default profile, use it as backup");
    QV_LOG(3, "[18344]find the default profile, use it as backup");
  } else {
    QV_LOG(8, "[18344]Could not find the default profile, use empty");
    QV_LOG(3, "[18344]Could not find the default profile, use empty");
  }
  if (mSettings->mNoSessionProfile && !mSettings->mNoSessionProfile->empty()) {
    QV_LOG(8, "[18344]find the NonSessionProfile, try to use it");
    QV_LOG(3, "[18344]find the NonSessionProfile, try to use it");
    profiles.push_back(*mSettings->mNoSessionProfile);
  } else {
    QV_LOG(8, "[18344]Could not find the NonSessionProfile or it's empty, try to use default");
    QV_LOG(3, "[18344]Could not find the NonSessionProfile or it's empty, try to use default");
  }
  if (haveDefault) profiles.push_back(*mSettings->mDefaultConnProf);
  transport.mProfileNames = profiles;
}

std::unique_ptr<txn::Response> ContentUpdater::exchange(txn::Request& request, DcdTransport& transport,
                                                        TransactionListener& listener, bool& transactionCancelled) {
  txn::Transaction* transaction = nullptr;
  {
    std::lock_guard<std::mutex> guard(mCancelMutex);
    mTransaction.reset(new txn::Transaction(&request, &transport, mSessionAttributes, &listener));
    transaction = mTransaction.get();
    // A cancel that came before the transaction existed still ends it:
    // execute sees the mark whether or not the idle transport took it.
    if (mCancelled) static_cast<void>(transaction->cancel());
  }
  std::unique_ptr<txn::Response> response = transaction->execute();
  transactionCancelled = transaction->isCancelled();
  return response;
}

int ContentUpdater::evaluateTransportResult(std::unique_ptr<txn::Response>& response, int httpStatus) {
  const std::set<int32_t>& fallback = mSettings->mFallbackHttpCodes;
  const txn::Result* result = response ? response->getResult() : nullptr;
  const bool statusListed = httpStatus != -1 && fallback.count(httpStatus) != 0;
  const bool resultListed =
      result != nullptr && result->getCode() != nullptr && fallback.count(result->getCode()->code()) != 0;
  if (statusListed || resultListed) {
    QV_LOG(3,
           "Determined that the transport-level response's STATUS code indicates that the currently contact server "
           "does not support a DCD client. Reporting a WRONG_VERSION error.");
    QV_LOG(3, "Fallback detected");
    response.reset();
    return WRONG_VERSION;
  }
  return response ? SUCCESS : FAILED;
}

bool ContentUpdater::isSessionError(const txn::Result* result) {
  const std::string protocolVer = mSessionAttributes->getAttribute(txn::kAttrProtocolVer);
  if (result == nullptr || result->getCode() == nullptr) return false;
  const int code = result->getCode()->code();
  QV_LOG(3, "Encountered a status primitive with the status-code %d", code);
  if (code != 600 && code != 602) return false;
  QV_LOG(3, "[18344]Session is invalid or expired");
  if (protocolVer == txn::kSessionProtocolVersion) mSessionAttributes->setValid(false);
  return true;
}

int ContentUpdater::checkResponseType(const txn::Response& response) {
  if (response.getType() == "ContentUpdateResponse") return SUCCESS;
  QV_LOG(3,
         "Unable to obtain a content-update-response response after sending a content-update-request. Instead, got "
         "the type, %s. Will attempt to see if a status primitive was returned by the server.",
         response.getType().c_str());
  int code = FAILED;
  const txn::Result* result = response.getResult();
  if (response.getType() == "Status" && result != nullptr && result->getCode() != nullptr) {
    QV_LOG(3, "Encountered a status primitive with the status-code %d", result->getCode()->code());
    if (result->getCode()->code() == 505) {
      QV_LOG(3, "fallback detected");
      code = WRONG_VERSION;
    } else if (isSessionError(result)) {
      code = SESSION_ERROR;
    }
  }
  persistOutcome(code);
  return code;
}

bool ContentUpdater::applicationIsAcceptable(const txn::Application* application) {
  if (application == nullptr) {
    QV_LOG(3, "Encountered a server response that did not include the application element. Aborting.");
    return false;
  }
  if (application->getId() == nullptr || application->getName() == nullptr) {
    QV_LOG(3, "The application element is missing its required id and name attributes.");
  }
  if (application->getId() != nullptr && *application->getId() != kApplicationUrn) {
    QV_LOG(3, "Encountered an invalid application id, %s. Aborting.", application->getId()->c_str());
    return false;
  }
  if (application->getName() != nullptr && *application->getName() != kApplicationName) {
    QV_LOG(3, "Encountered an invalid application name %s. Aborting.", application->getName()->c_str());
    return false;
  }
  if (application->getSyncAnchor() == nullptr) {
    QV_LOG(3, "Encountered an application element that did not have a sync-anchor set at all.");
    return false;
  }
  if (application->getUpdateTtl() != nullptr && *application->getUpdateTtl() < 0) {
    QV_LOG(3, "Received an invalid update-ttl value %ld", static_cast<long>(*application->getUpdateTtl()));
    return false;
  }
  return true;
}

bool ContentUpdater::unsubscribe(NR_ContentCache& cache, const qvTypes::ID& channelId) {
  Channel channel;
  if (cache.get(channelId, channel) != 0) {
    QV_LOG(3, "Unable to obtain channel %s.", channelId.c_str());
    return false;
  }
  if (cache.remove(channelId, channel) != 0) {
    QV_LOG(3, "Unable to remove channel %s.", channelId.c_str());
    return false;
  }
  QV_LOG(8, "Successfully unsubscribed from feed, %s", channelId.c_str());
  return true;
}

bool ContentUpdater::assignChannels(NR_ContentCache& cache, const std::vector<qvTypes::ID>& channelIds) {
  std::vector<qvTypes::ID> ids;
  for (const qvTypes::ID& id : channelIds) {
    if (id.empty()) {
      QV_LOG(3, "Encountered an empty channel id. Skipping.");
      continue;
    }
    ids.push_back(id);
  }
  Container container;
  if (cache.get(mContainerId, container) != 0) {
    QV_LOG(3, "Unable to obtain the container, %s", mContainerId.c_str());
    return false;
  }
  container.setChannelIds(ids);
  if (cache.save(mContainerId, container) != 0) {
    QV_LOG(3, "Unable to save the following feeds to the container: %s", joinIds(ids).c_str());
    return false;
  }
  QV_LOG(8, "The following feeds have been assigned to the container: %s", joinIds(ids).c_str());
  return true;
}

void ContentUpdater::rememberStored(const Feed& feed) {
  StoredChannel& stored = mStoredChannels[feed.getChannelId()];
  stored.assets = assetsOf(feed.channel());
  stored.itemIds = feed.channel().getItemIds();
  for (const std::unique_ptr<ItemEntry>& item : feed.getNewItems()) {
    mStoredItems[item->getId()] = assetsOf(*item->getNewsObject());
  }
}

bool ContentUpdater::reconcileFeeds(const txn::ContentUpdateResponse& response) {
  const txn::Application* application = response.getApplication();
  if (application == nullptr) {
    QV_LOG(3, "Encountered a server response that did not include the application element. Aborting.");
    return false;
  }
  if (application->getAbsentMode() == nullptr) {
    QV_LOG(3, "Server returned an application element that did not specify an absent-mode.");
    return false;
  }
  NR_ContentCache* cache = NR_ContentCache::getInstance();
  if (cache == nullptr) {
    QV_LOG(3, "Trying to subscribe a feed. Unable to access storage cache.");
    return false;
  }
  // Everything below is one transaction: a crash, or an answer whose
  // channels all fail, leaves the cache as it was before the update.
  NR_ContentCache::BatchScope batch(*cache);

  Container container;
  std::vector<qvTypes::ID> before;
  if (cache->get(mContainerId, container) != 0) {
    QV_LOG(3, "Unable to retrieve container %s. Container may not have been initialized.", mContainerId.c_str());
  } else {
    before = container.getChannelIds();
  }
  const std::set<qvTypes::ID> beforeSet(before.begin(), before.end());
  std::vector<qvTypes::ID> keep;
  std::set<qvTypes::ID> keepSet;
  if (application->getAbsentMode() == &txn::AbsentMode::IGNORE) {
    for (const qvTypes::ID& id : before) {
      if (keepSet.insert(id).second) keep.push_back(id);
    }
  }

  const auto& contentSets = application->getContentSets();
  int failures = 0;
  long items = 0;
  std::set<qvTypes::ID> handled;
  std::set<qvTypes::ID> dropped;  // items channels no longer list
  for (const std::unique_ptr<txn::ContentSet>& contentSet : contentSets) {
    const std::string id = contentSet->getId() != nullptr ? *contentSet->getId() : std::string();
    if (!id.empty() && !handled.insert(id).second) {
      QV_LOG(3, "The channel %s occurs more than once in the server response. Skipping the repeat.", id.c_str());
      ++failures;
      continue;
    }
    // A channel is saved with its new items, or not at all.
    NR_ContentCache::BatchScope channelScope(*cache);
    Feed feed(contentSet.get(), mContainerId);
    feed.setDeferItemRemoval(true);
    bool failed = false;
    const int marshalled = feed.marshal(beforeSet.count(id) == 0);
    if (marshalled == MARSHAL_FAILED) {
      QV_LOG(3, "Unable to marshall a Channel from the FLP content-set with id, %s. Skipping.", id.c_str());
      failed = true;
    } else if (feed.hasSameSyncAnchor()) {
      QV_LOG(8, "Same sync anchor, no need to save feed");
    } else if (!feed.Save()) {
      QV_LOG(3, "Unable to save this feed, %s, and its items. Skipping to next feed.", id.c_str());
      failed = true;
    } else {
      QV_LOG(8, "Successfully saved the feed, %s, and its child items.", id.c_str());
    }
    if (!failed && channelScope.commit() != 0) failed = true;
    if (failed) {
      ++failures;
      // One bad item must not unsubscribe a channel the user already has:
      // its stored state (rolled back to with the channel's scope) stays.
      if (!id.empty() && beforeSet.count(id) != 0 && keepSet.insert(id).second) {
        keep.push_back(id);
        QV_LOG(3, "The stored channel %s could not be updated. Keeping it as it was stored.", id.c_str());
      }
      continue;
    }
    const qvTypes::ID channelId = feed.getChannelId();
    if (keepSet.insert(channelId).second) keep.push_back(channelId);
    if (!feed.hasSameSyncAnchor()) rememberStored(feed);
    dropped.insert(feed.getDroppedItems().begin(), feed.getDroppedItems().end());
    items += static_cast<long>(feed.getNewItems().size());
  }
  QV_LOG(3,
         "Out of %d channels downloaded from the server, %d channels could either not be parsed or could not be "
         "persisted.",
         static_cast<int>(contentSets.size()), failures);
  if (!contentSets.empty() && failures == static_cast<int>(contentSets.size())) {
    QV_LOG(3,
           "%d of the channels encountered in the server response were malformed or could not be persisted. The "
           "client will NOT be removing any feeds or changing the set of feeds that this client is subscribed to.",
           failures);
    QV_LOG(3, "Malformed XML received");
    return false;  // the batch rolls back
  }

  // An item one channel drops may be listed by another channel of the
  // answer (ids come from the server): it stays.
  if (!dropped.empty()) {
    for (const qvTypes::ID& channelId : keep) {
      auto known = mStoredChannels.find(channelId);
      if (known != mStoredChannels.end()) {
        for (const qvTypes::ID& itemId : known->second.itemIds) dropped.erase(itemId);
        continue;
      }
      Channel channel;
      if (cache->get(channelId, channel) != 0) continue;
      for (const qvTypes::ID& itemId : channel.getItemIds()) dropped.erase(itemId);
    }
    for (const qvTypes::ID& itemId : dropped) removeStoredItem(*cache, itemId);
  }

  std::vector<qvTypes::ID> removed;
  for (const qvTypes::ID& id : beforeSet) {
    if (keepSet.count(id) == 0) removed.push_back(id);
  }
  QV_LOG(8,
         "Determined that there were %d feeds before the update, %d feeds after the update, and that %d feeds need to "
         "be removed.",
         static_cast<int>(before.size()), static_cast<int>(keep.size()), static_cast<int>(removed.size()));
  for (const qvTypes::ID& id : removed) {
    if (id.empty()) {
      QV_LOG(3, "Encountered an empty channel id. Skipping.");
      continue;
    }
    QV_LOG(8, "Attempting to unsubscribe from feed, %s", id.c_str());
    if (!unsubscribe(*cache, id)) QV_LOG(3, "Unable to unsubscribe from feed, %s. Continuing.", id.c_str());
  }
  if (!assignChannels(*cache, keep)) return false;
  // A batch that could not be begun, or whose writes failed, fails the
  // update: nothing of it is stored.
  if (batch.commit() != 0) return false;
  mSettings->setItemsDownloaded(static_cast<int>(std::min<long>(items, INT_MAX)));
  return true;
}

bool ContentUpdater::storeApplication(const txn::Application& application) {
  const std::string& anchor = *application.getSyncAnchor();
  QV_LOG(8, "Setting the application's sync-anchor to the new value, %s", anchor.c_str());
  mSettings->setAppSyncAnchor(anchor);
  if (application.getUpdateTtl() == nullptr) {
    QV_LOG(3,
           "Encountered an application that did not have its update-ttl value set. The server is specifying that a "
           "content-update request should never be sent again. Persisting the next-update-time to be -1.");
    mSettings->setNextUpdateTime(-1);
    return true;
  }
  const long ttl = *application.getUpdateTtl();
  QV_LOG(3, "Set the next TTL to %ld", ttl);
  sendTtlUpdate(static_cast<int>(ttl));
  return true;
}

void ContentUpdater::persistOutcome(int code) {
  const std::time_t now = std::time(nullptr);
  if (now < 0) {
    QV_LOG(3, "Unable to obtain current time.");
    return;
  }
  QV_LOG(8, "Attempting to set the last update time to the value %s", std::to_string(now).c_str());
  mSettings->setLastUpdateTime(static_cast<int>(std::min<std::time_t>(now, INT_MAX)));
  mSettings->setLastUpdateResult(code);
}

int ContentUpdater::contentUpdate() {
  // Build and send.
  std::unique_ptr<txn::Response> response;
  int code = FAILED;
  bool transactionCancelled = false;
  std::unique_ptr<txn::ContentUpdateRequest> request = buildContentUpdateRequest();
  if (!request) {
    QV_LOG(3, "Unable to fashion a content-update-request. Aborting.");
  } else if (std::unique_ptr<DcdTransport> transport = makeTransport(*request)) {
    std::string url = transport->mUrl;
    NR_EngineUtils::replacePatternsInURL(url);
    QV_LOG(8, "For content-update-request, Setting server url to %s", url.c_str());
    transport->mUrl = url;
    chooseProfiles(*transport);
    ContentUpdateListener listener(mRequest, mFacade);
    mRequest->setStatus(ProtocolRequest::DOWNLOADING);
    response = exchange(*request, *transport, listener, transactionCancelled);
    code = evaluateTransportResult(response, transport->mStatusCode);
    {
      std::lock_guard<std::mutex> guard(mCancelMutex);
      mTransaction.reset();
    }
    transport.reset();
    request.reset();
    QV_LOG(3, "Type1 request finished");
  } else {
    QV_LOG(3, "Got empty transport,return NULL");
  }

  if (isCancelled()) {
    QV_LOG(3, "This content-update has been cancelled after getting a server response.");
    persistOutcome(CANCELLED);
    return CANCELLED;
  }
  if (code != SUCCESS) {
    persistOutcome(code);
    return code;
  }
  if (!response) {
    if (transactionCancelled) {
      QV_LOG(3, "This transaction has been marked cancelled during network activity.");
      code = CANCELLED;
    } else {
      QV_LOG(3, "Encountered an unexpected DCD response after sending a content-update-request.");
      code = FAILED;
    }
    persistOutcome(code);
    return code;
  }
  return applyContentUpdate(*response);
}

int ContentUpdater::applyContentUpdate(const txn::Response& response) {
  const int code = checkResponseType(response);
  if (code != SUCCESS) return code;
  const txn::ContentUpdateResponse& update = static_cast<const txn::ContentUpdateResponse&>(response);
  mSettings->setBytesDownloaded(response.getDataSize());
  mRequest->setState(STATE_RESPONSE_RECEIVED);

  // An answer that is not for this application, or that the application
  // part alone would reject, changes nothing.
  if (!applicationIsAcceptable(update.getApplication())) {
    QV_LOG(3,
           "Unable to persist the application-information contained in the most recent content update response. "
           "Aborting.");
    persistOutcome(FAILED);
    return FAILED;
  }
  if (!reconcileFeeds(update)) {
    QV_LOG(3, "Unable to handle the feeds contained in the most recent content update response. Aborting.");
    persistOutcome(FAILED);
    return FAILED;
  }
  if (!storeApplication(*update.getApplication())) {
    QV_LOG(3,
           "Unable to persist the application-information contained in the most recent content update response. "
           "Aborting.");
    persistOutcome(FAILED);
    return FAILED;
  }
  mRequest->setState(STATE_CONTENT_STORED);
  QV_LOG(3,
         "Successfully obtained the XML file describing this subscriber's channels, and saved these channels to the "
         "phone.");
  QV_LOG(3, "Start processing type2/3 requests");
  return SUCCESS;
}

}  // namespace flp2
