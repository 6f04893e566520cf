#include "Flp1xContentUpdater.h"

#include <chrono>
#include <climits>
#include <set>
#include <utility>

#include "Flp1xPlatformWrapper.h"
#include "SyncPkg.h"
#include "Url.h"
#include "platform/ContentCache.h"
#include "platform/Hivra.h"
#include "platform/Log.h"

namespace {

// Request states this engine marks (the transport marks 2, body received).
constexpr int kStateFirstResponseChecked = 8;
constexpr int kStateUpdateOver = 10;

const char* const kAcceptGzip = "Accept: application/vnd.kestrova.quorvel+gzip";
const char* const kAcceptEncoding = "Accept-Encoding:compress, gzip";
const char* const kAcceptXml = "Accept: application/vnd.kestrova.quorvel+xml";

class MutexGuard {
 public:
  explicit MutexGuard(Mutex& mutex) : mMutex(mutex), mLocked(mutex.lock()) {
    if (!mLocked) QV_LOG(7, "Unable to lock mutex");
  }
  ~MutexGuard() {
    if (mLocked) mMutex.unlock();
  }
  MutexGuard(const MutexGuard&) = delete;
  MutexGuard& operator=(const MutexGuard&) = delete;

 private:
  Mutex& mMutex;
  bool mLocked;
};

int clampToInt(size_t value) { return value > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(value); }

std::string hostOfUrl(const std::string& url) {
  std::string rest, scheme;
  splitScheme(url, rest, scheme);
  return hostOf(rest);
}

}  // namespace

Flp1xContentUpdater::Flp1xContentUpdater(const qvTypes::ID& containerId, Flp1xPlatformWrapper* wrapper)
    : mContainerId(containerId), mWrapper(wrapper) {}

Flp1xContentUpdater::~Flp1xContentUpdater() = default;

void Flp1xContentUpdater::cancel() {
  std::lock_guard<std::mutex> guard(mCancelLock);
  mCancelled = true;
  if (mTransport) {
    QV_LOG(8, "Flp1xContentUpdater::cancel()");
    mTransport->cancel();
  }
  mCancelSignal.notify_all();
}

bool Flp1xContentUpdater::isCancelled() {
  std::lock_guard<std::mutex> guard(mCancelLock);
  return mCancelled;
}

bool Flp1xContentUpdater::pause(long millis) {
  const double scaled = static_cast<double>(millis) * Thread::sleepScale();
  std::unique_lock<std::mutex> lock(mCancelLock);
  mCancelSignal.wait_for(lock, std::chrono::duration<double, std::milli>(scaled), [this] { return mCancelled; });
  return !mCancelled;
}

void Flp1xContentUpdater::finish() {
  if (mProtocolRequest != nullptr) mProtocolRequest->setState(kStateUpdateOver);
  std::unique_ptr<Transport> closing;
  {
    std::lock_guard<std::mutex> guard(mCancelLock);
    closing = std::move(mTransport);
    mProtocolRequest = nullptr;
  }
  // cancel can no longer reach it.
  closing.reset();
  mRequest.reset();
}

std::string Flp1xContentUpdater::contentUrl() const { return resolveUrl(mWrapper->getBaseUrl(), mNextUri); }

ProtocolResponse Flp1xContentUpdater::update(ProtocolRequest* request) {
  MutexGuard guard(mMutex);
  ProtocolResponse response;
  if (request == nullptr) {
    QV_LOG(3, "Flp1xContentUpdater::update: there is no request to serve!");
    response.mCode = FAILED;
    return response;
  }
  QV_LOG(3, "Begin content updateing with stage:%s, %d\n", request->typeString().c_str(),
         static_cast<int>(request->getType()));
  if (mWrapper == nullptr) mWrapper = Flp1xPlatformWrapper::getInstance();
  {
    std::unique_ptr<Transport> transport(mTransportFactory ? mTransportFactory() : createHttpTransport());
    if (!transport) {
      QV_LOG(3, "Flp1xContentUpdater::update: no transport could be made!");
      request->setState(kStateUpdateOver);
      response.mCode = FAILED;
      return response;
    }
    transport->mProtocolRequest = request;
    std::lock_guard<std::mutex> lock(mCancelLock);
    mProtocolRequest = request;
    mTransport = std::move(transport);
  }
  if (isCancelled()) {
    QV_LOG(3, "Flp1xContentUpdater::update: cancelled before it began.");
    finish();
    response.mCode = CANCELLED;
    return response;
  }

  if (request->getType() == ProtocolRequest::DATA) {
    QV_LOG(3, "This update come from type2.");
  } else {
    std::unique_ptr<SyncPkg> pkg;
    const int code = runType1Loop(pkg);
    if (code != SUCCESS) {
      finish();
      response.mCode = code;
      return response;
    }
    if (!ModelFacade::store(*pkg)) {
      QV_LOG(3, "Flp1xContentUpdater::update: the sync package could not be stored; the update failed.\n");
      finish();
      response.mCode = FAILED;
      return response;
    }
    if (!mWrapper->saveDownloadStatistics(clampToInt(mResponseBytes), clampToInt(pkg->entryCount()))) {
      QV_LOG(3, "Flp1xContentUpdater::update: the statistics of the sync could not be written; the update failed.\n");
      finish();
      response.mCode = FAILED;
      return response;
    }
    request->setStatus(ProtocolRequest::COMPLETE);
    for (const auto& feed : pkg->feeds()) response.mStrings.push_back(feed->ctxtId().value_or(std::string()));
    pkg.reset();  // the tree is not needed for the assets
  }

  RequiredContentList byIds, byUrl;
  ModelFacade::getRequiredContent(byIds, byUrl);
  int code = CANCELLED;
  // Assets must never fill the disk: below the floor (after housekeeping)
  // the stages are skipped and the update reported failed.
  NR_ContentCache* spaceCache = NR_ContentCache::getInstance();
  if ((!byIds.empty() || !byUrl.empty()) && spaceCache != nullptr && spaceCache->checkAssetSpace() != 0) {
    code = FAILED;
  } else if (pause(kPauseMillis)) {
    request->setType(ProtocolRequest::DATA);
    const bool byIdsDone = runType2Stage(byIds);
    // Each stage runs even when the other failed, but none after a cancel.
    const bool byUrlDone = !isCancelled() && runType3Stage(byUrl);
    if (isCancelled()) {
      code = CANCELLED;
    } else {
      code = byIdsDone && byUrlDone ? SUCCESS : FAILED;
    }
  }
  finish();
  QV_LOG(3, "FLP1x update successed!");
  response.mCode = code;
  return response;
}

int Flp1xContentUpdater::runType1Loop(std::unique_ptr<SyncPkg>& pkg) {
  int ttlOneAnswers = 0;
  for (;;) {
    if (!sendType1Request(pkg)) {
      QV_LOG(3, "SendType1Request failed!");
      return contentFailureCode();
    }
    QV_LOG(8, "Send type 1 request success!");
    const std::string& next = mResponse->mEntity.mHeaders.get("X-FL-NextURI");
    if (!next.empty()) {
      QV_LOG(8, "Set next url to:%s", next.c_str());
      mNextUri = next;
    }
    const MetaElement* meta = pkg->meta();
    const GlobalMetaElement* global = meta != nullptr ? meta->globalMeta() : nullptr;
    long ttl = global != nullptr && global->ttl() ? global->ttl()->seconds() : 0;
    if (ttl == 1) {
      // "Ask again at once": this package is not stored.
      pkg.reset();
      if (++ttlOneAnswers > kMaxTtlOneAnswers) {
        QV_LOG(3, "The server answered a ttl of 1 more than %d times in a row; the update gives up.\n",
               kMaxTtlOneAnswers);
        return FAILED;
      }
      continue;
    }
    if (ttl == 0) ttl = kTtlForZero;
    const int announced = ttl > INT_MAX ? INT_MAX : static_cast<int>(ttl);
    QV_LOG(7, "Update TTL:%d\n", announced);
    sendTtlUpdate(announced);
    return SUCCESS;
  }
}

int Flp1xContentUpdater::contentFailureCode() {
  if (isCancelled() || (mTransport && mTransport->mResult.load() == TRANSPORT_CANCELLED)) return CANCELLED;
  const int status = mResponse ? mResponse->mStatusCode : 200;
  return mWrapper->isFallbackCode(std::to_string(status)) ? WRONG_VERSION : FAILED;
}

bool Flp1xContentUpdater::addMsisdn(HttpRequest& request, const char* missingLog) {
  const std::string& msisdn = mWrapper->getMsisdn();
  if (msisdn.empty()) QV_LOG(3, "%s", missingLog);
  request.mEntity.mHeaders.parseHeaders("X-FL-MSISDN:" + msisdn);
  request.mEntity.mHeaders.parseHeaders("x-up-calling-line-id:" + msisdn);
  return !msisdn.empty();
}

bool Flp1xContentUpdater::sendType1Request(std::unique_ptr<SyncPkg>& pkg) {
  if (mProtocolRequest == nullptr) return false;
  if (isCancelled()) {
    QV_LOG(3, "ContentUpdater::sendType1Request: cancelled.\n");
    return false;
  }
  QV_LOG(8, "ContentUpdater::sendType1Request: beign.\n");

  PtrRef<HttpRequest> request(new HttpRequest());
  request->mType = HttpRequest::TYPE_CONTENT;
  request->mUrl = contentUrl();
  QV_LOG(8, "ContentUpdater::sendType1Request: Url is:%s.\n", request->mUrl.c_str());
  HeaderList& headers = request->mEntity.mHeaders;
  headers.parseHeaders("Host:" + hostOfUrl(request->mUrl));
  if (mWrapper->isCompressionEnabled()) {
    headers.parseHeaders(kAcceptGzip);
    headers.parseHeaders(kAcceptEncoding);
  } else {
    headers.parseHeaders(kAcceptXml);
  }
  const ProtocolRequest::Trigger trigger = mProtocolRequest->getTrigger();
  const std::string triggerText = ProtocolRequest::triggerToString(trigger);
  QV_LOG(8, "ContentUpdater::sendType1Request: Trigger type:%s.\n", triggerText.c_str());
  headers.parseHeaders("X-FL-RequestType:" + triggerText);
  addMsisdn(*request, "ContentUpdater::can't get MSISDN!");
  QV_LOG(8, "ContentUpdater::sendType1Request: User-Agent:%s.\n", mWrapper->getUserAgent().c_str());
  headers.parseHeaders("User-Agent:" + mWrapper->getUserAgent());
  const std::string& appAnchor = mWrapper->getAppSyncAnchor();
  if (!appAnchor.empty()) {
    QV_LOG(8, "ContentUpdater::sendType1Request: Global Sync Anchor:%s.\n", appAnchor.c_str());
    headers.parseHeaders("X-FL-Global-Sync-Anchor:" + appAnchor);
  }
  if (trigger != ProtocolRequest::SERVER_PUSH) {
    std::string channelAnchors;
    ModelFacade::getGlobalSyncAnchor(channelAnchors);
    if (!channelAnchors.empty()) {
      QV_LOG(8, "ContentUpdater::sendType1Request: Sync Anchor:%s.\n", channelAnchors.c_str());
      headers.parseHeaders("X-FL-Sync-Anchor:" + channelAnchors);
    }
  }

  mRequest = request;
  mTransport->mRequest = request;
  mResponse = mTransport->update();
  mResponseBytes = 0;

  if (isCancelled() || mTransport->mResult.load() == TRANSPORT_CANCELLED) {
    QV_LOG(3, "ContentUpdater::sendType1Request: cancelled.\n");
    return false;
  }
  if (!mResponse || mTransport->mResult.load() == TRANSPORT_FAILED) {
    QV_LOG(3, "Transport faild in MANUAL refresh request!");
    QV_LOG(3, "Check response failed!");
    return false;
  }
  if (mResponse->mStatusCode != 200) {
    QV_LOG(8, "ContentUpdater:: Response code error. code:%d Body:\n%s\n", mResponse->mStatusCode,
           qvlog::payload(mResponse->mEntity.mBody).c_str());
    QV_LOG(3, "Check response failed!");
    return false;
  }

  // The package text is read once and not kept: only its length is.
  std::string body;
  body.swap(mResponse->mEntity.mBody);
  mResponseBytes = body.size();
  pkg.reset(new SyncPkg());
  if (!pkg->parse(body)) {
    QV_LOG(3, "Content error in MANUAL refresh request!");
    QV_LOG(3, "check syncpkg error!");
    pkg.reset();
    return false;
  }
  QV_LOG(3, "ContentUpdater::sendType1Request: successd!\n");
  mProtocolRequest->setState(kStateFirstResponseChecked);
  return true;
}

bool Flp1xContentUpdater::runType2Stage(const RequiredContentList& byIds) {
  if (byIds.empty()) return true;
  const std::string url = contentUrl();
  const std::string host = hostOfUrl(url);
  int batchSize = mWrapper->getMaxAssetsType2();
  QV_LOG(3, "MaxAssets:%d", batchSize);
  if (batchSize < 1) batchSize = 1;

  auto next = byIds.begin();
  while (next != byIds.end()) {
    if (isCancelled()) {
      QV_LOG(3, "Type2 canceled.");
      return false;
    }
    std::set<std::string> asked;
    std::string ids;
    for (int n = 0; n < batchSize && next != byIds.end(); ++n, ++next) {
      if (!ids.empty()) ids += ",";
      ids += (*next)->mId;
      asked.insert((*next)->mId);
    }

    PtrRef<HttpRequest> request(new HttpRequest());
    request->mType = HttpRequest::TYPE_DATA_BY_IDS;
    request->mUrl = url;
    HeaderList& headers = request->mEntity.mHeaders;
    headers.parseHeaders("Accept: */*");
    headers.parseHeaders("X-FL-RequestType: data");
    headers.parseHeaders("X-FL-Request-Id:" + ids);
    addMsisdn(*request, "FLP1x can't get MSISDN!");
    headers.parseHeaders("User-Agent:" + mWrapper->getUserAgent());
    headers.parseHeaders("Host:" + host);

    mRequest = request;
    mTransport->mRequest = request;
    PtrRef<HttpResponse> response = mTransport->update();
    const int result = mTransport->mResult.load();
    if (isCancelled() || result == TRANSPORT_CANCELLED) {
      QV_LOG(3, "Type2 canceled.");
      return false;
    }
    if (result == TRANSPORT_FAILED || !response) {
      QV_LOG(3, "Type2 Request Failed.");
      return false;
    }
    if (!response->mIsMultipart || !response->mMultipart) {
      QV_LOG(3, "Type2 response is not a MIME one!\n");
      return false;
    }
    for (const PtrRef<MimeEntity>& part : response->mMultipart->mParts) {
      RequiredContent record;
      record.mId = part->mHeaders.get("Content-Id");
      record.mContentType = part->mHeaders.get("Content-Type");
      if (record.mId.empty() || record.mContentType.empty() || part->mBody.empty()) continue;
      // The answer may only fill what this request asked for.
      if (asked.count(record.mId) == 0) {
        QV_LOG(3, "Type2 part %s was not asked for; skipped.\n", record.mId.c_str());
        continue;
      }
      record.mData = part->mBody;
      ModelFacade::saveContent(record);
    }
  }
  QV_LOG(8, "Type2 process succeed!\n");
  return true;
}

bool Flp1xContentUpdater::runType3Stage(RequiredContentList& byUrl) {
  if (byUrl.empty()) return true;
  if (mWrapper->getMsisdn().empty()) {
    QV_LOG(3, "ContentUpdater::can't get MSISDN!");
    QV_LOG(3, "Type3 stage skipped: %d assets by URL are not fetched without an MSISDN.\n",
           clampToInt(byUrl.size()));
    return false;
  }
  const int total = clampToInt(byUrl.size());
  int index = 0;
  for (const PtrRef<RequiredContent>& record : byUrl) {
    if (!pause(kPauseMillis)) {
      QV_LOG(3, "Type3 canceled.\n");
      return false;
    }
    QV_LOG(8, "Type3 Request %d of %d:%s\n", index, total, record->mHref.c_str());
    ++index;

    PtrRef<HttpRequest> request(new HttpRequest());
    request->mType = HttpRequest::TYPE_DATA_BY_URL;
    request->mUrl = record->mHref;
    HeaderList& headers = request->mEntity.mHeaders;
    headers.parseHeaders("X-FL-RequestType: data3");
    // The href comes from the server's package: the MSISDN goes only to
    // the configured server's own origin.
    if (Hivra::sameOrigin(record->mHref, contentUrl())) {
      addMsisdn(*request, "ContentUpdater::can't get MSISDN!");
    } else {
      QV_LOG(3, "Type3 asset %s is not on the server's origin: fetched without the MSISDN.\n", record->mHref.c_str());
    }
    headers.parseHeaders("User-Agent:" + mWrapper->getUserAgent());
    headers.parseHeaders("Host:" + hostOfUrl(record->mHref));

    mRequest = request;
    mTransport->mRequest = request;
    PtrRef<HttpResponse> response = mTransport->update();
    const int result = mTransport->mResult.load();
    if (isCancelled() || result == TRANSPORT_CANCELLED) {
      QV_LOG(3, "Type3 canceled.\n");
      return false;
    }
    if (!response) {
      QV_LOG(3, "Type3 response is empty!\n");
      return false;
    }
    if (result == TRANSPORT_FAILED) {
      QV_LOG(3, "Type3 retry failed!\n");
      return false;
    }
    // Saved with the type the content declared, whatever the server says.
    record->mData += response->mEntity.mBody;
    ModelFacade::saveContent(*record);
  }
  QV_LOG(8, "Type3 process succeed!\n");
  return true;
}
