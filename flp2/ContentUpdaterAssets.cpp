// The asset phase of the content updater: find the assets the stored
// channels and items refer to but the cache lacks, fetch them in DCD data
// requests and save them through the content cache's output streams.
#include <climits>
#include <ctime>

#include "Constants.h"
#include "ContentUpdater.h"
#include "PlatformQueries.h"
#include "platform/Facade.h"
#include "platform/Log.h"
#include "platform/Thread.h"

namespace flp2 {

const char* const Asset::kAssetById = "ASSET_REFERENCED_BY_ID";
const char* const Asset::kAssetByUrl = "ASSET_REFERENCED_BY_URL";

std::string Asset::toString() const {
  if (type == kAssetByUrl) return "AssetByHref: id = " + id + ", href = " + url;
  return "AssetById: id = " + id;
}

namespace {

// Progress of a data transaction.
class DataRequestListener : public TransactionListener {
 public:
  explicit DataRequestListener(ProtocolRequest* request) : mRequest(request) {}
  void notify(int code) override {
    if (code == STARTED && mRequest != nullptr) mRequest->setState(STATE_DATA_TRANSACTION_STARTED);
  }

 private:
  ProtocolRequest* mRequest;
};

Asset assetFor(const std::string& id, const qvTypes::String& url) {
  Asset asset;
  asset.id = id;
  asset.url = toUtf8(url);
  asset.type = asset.url.empty() ? Asset::kAssetById : Asset::kAssetByUrl;
  return asset;
}

}  // namespace

std::vector<Asset> assetsOf(const NewsObject& object) {
  std::vector<Asset> assets;
  const qvTypes::ID& templateId = object.getTemplateId();
  if (!templateId.empty() && templateId != "default" && templateId != "Default") {
    assets.push_back(assetFor(templateId, object.getTemplateUrl()));
  }
  for (const auto& entry : object.getExcerptMap()) {
    if (entry.second.assetId.empty()) {
      QV_LOG(3, "Encountered a excerpt content that does not have an id. Skipping.");
      continue;
    }
    assets.push_back(assetFor(entry.second.assetId, entry.second.url));
  }
  auto image = object.getMediaMap().find("image");
  if (image != object.getMediaMap().end() && !image->second.assetId.empty()) {
    assets.push_back(assetFor(image->second.assetId, image->second.url));
  }
  return assets;
}

bool formDataRequests(const AssetSet& missing, int maxIdsPerRequest, bool byUrlAllowed,
                      std::vector<std::unique_ptr<txn::DataRequest>>& requests) {
  std::set<std::string> pending;
  auto flush = [&]() {
    std::unique_ptr<txn::DataRequestByIds> request(new txn::DataRequestByIds());
    request->setIds(pending);
    requests.push_back(std::move(request));
    pending.clear();
  };
  for (const Asset& asset : missing) {
    if (asset.type == Asset::kAssetById) {
      pending.insert(asset.id);
      if (static_cast<int>(pending.size()) >= maxIdsPerRequest) {
        const int n = static_cast<int>(pending.size());
        flush();
        QV_LOG(8, "Created a DataRequestByIds from %d assets", n);
        QV_LOG(3, "Created a DataRequestByIds from %d assets", n);
      }
    } else if (asset.type == Asset::kAssetByUrl) {
      if (!byUrlAllowed) {
        QV_LOG(3,
               "Encountered a data asset referenced by URL. However, client is configured to not send data requests "
               "by URL. Skipping this asset, %s.",
               asset.toString().c_str());
        continue;
      }
      requests.push_back(std::unique_ptr<txn::DataRequest>(new txn::DataRequestByUrl(asset.id, asset.url)));
      QV_LOG(8, "Created a DataRequestByUrl from the asset %s", asset.toString().c_str());
    } else {
      QV_LOG(3, "Encountered an unsupported Asset type. Aborting.");
      return false;
    }
  }
  if (!pending.empty()) {
    const int n = static_cast<int>(pending.size());
    flush();
    QV_LOG(8,
           "Created a DataRequestByIds from %d assets. This is less than the maximum number of assets allowed per "
           "request.",
           n);
  }
  QV_LOG(8, "From %d assets, created %d DataRequests.", static_cast<int>(missing.size()),
         static_cast<int>(requests.size()));
  return true;
}

void ContentUpdater::classify(NR_ContentCache& cache, const qvTypes::ID& id, const std::vector<Asset>& assets,
                              AssetSet& missing, std::string& missingIds, int& present, std::string& presentIds) {
  std::string found;
  for (const Asset& asset : assets) {
    std::string path;
    if (cache.getPath(asset.id, path) == 0 && !path.empty()) {
      QV_LOG(8, "Content-cache determined that asset with id, %s, is at the path, %s", asset.id.c_str(), path.c_str());
      ++present;
      presentIds += asset.id + ",";
      found += asset.id + ", ";
    } else {
      QV_LOG(8, "Content-cache could not determine the path for asset with id, %s", asset.id.c_str());
      if (missing.insert(asset).second) missingIds += asset.id + ",";
      found += asset.id + "(missing), ";
    }
  }
  QV_LOG(8, "For id %s, found the assets: %s", id.c_str(), found.c_str());
}

bool ContentUpdater::findMissingAssets(AssetSet& missing) {
  NR_ContentCache* cache = NR_ContentCache::getInstance();
  if (cache == nullptr) {
    QV_LOG(3, "While determining which assets are currently on the client, was unable to obtain content-cache.");
    return false;
  }
  Container container;
  if (cache->get(mContainerId, container) != 0) {
    QV_LOG(3, "Unable to get container %s", mContainerId.c_str());
    return false;
  }
  std::string missingIds;
  std::string presentIds;
  int present = 0;
  for (const qvTypes::ID& channelId : container.getChannelIds()) {
    // What this run stored is known; everything else is read back.
    std::vector<qvTypes::ID> itemIds;
    auto known = mStoredChannels.find(channelId);
    if (known != mStoredChannels.end()) {
      classify(*cache, channelId, known->second.assets, missing, missingIds, present, presentIds);
      itemIds = known->second.itemIds;
    } else {
      Channel channel;
      if (cache->get(channelId, channel) != 0) {
        QV_LOG(3, "Unable to get channel %s. Skipping to next channel.", channelId.c_str());
        continue;
      }
      classify(*cache, channelId, assetsOf(channel), missing, missingIds, present, presentIds);
      itemIds = channel.getItemIds();
    }
    for (const qvTypes::ID& itemId : itemIds) {
      auto knownItem = mStoredItems.find(itemId);
      if (knownItem != mStoredItems.end()) {
        classify(*cache, itemId, knownItem->second, missing, missingIds, present, presentIds);
        continue;
      }
      Item item;
      if (cache->get(itemId, item) != 0) {
        QV_LOG(3, "Unable to get item %s. Skipping to next item.", itemId.c_str());
        continue;
      }
      classify(*cache, itemId, assetsOf(item), missing, missingIds, present, presentIds);
    }
  }
  QV_LOG(8,
         "Found %d assets (%s) that have not yet been downloaded and %d assets (%s) that have already been downloaded.",
         static_cast<int>(missing.size()), missingIds.c_str(), present, presentIds.c_str());
  return true;
}

int ContentUpdater::maxIdsPerRequest() {
  int max = mSettings->mMaxAssetsType2 ? *mSettings->mMaxAssetsType2 : 3;
  if (queryDataNetworkStatus(mFacade) == NETWORK_3G && mSettings->mEnable3GDownload.value_or(false) &&
      mSettings->mMaxAssets3GType2) {
    max = *mSettings->mMaxAssets3GType2;
    QV_LOG(8,
           "Determined that the 3G network is available and that 3G downloads are allowed by this phone's settings. "
           "Setting the max-assets-per-request to %d",
           max);
  }
  // A batch needs room for one id at least.
  if (max < 1) max = 1;
  QV_LOG(8, "Determined that the maximum number of assets that can be downloaded per request is %d", max);
  return max;
}

bool ContentUpdater::saveDataParts(const txn::DataRequest& request, const txn::DataResponse& response, long& saved) {
  NR_ContentCache* cache = NR_ContentCache::getInstance();
  if (cache == nullptr) {
    QV_LOG(3, "While saving assets, unable to obtain reference to the content-cache.");
    return false;
  }
  const txn::DataRequestByIds* byIds =
      request.getType() == "DataRequestByIds" ? static_cast<const txn::DataRequestByIds*>(&request) : nullptr;
  saved = 0;
  for (const std::unique_ptr<txn::DataBlock>& block : response.getBlocks()) {
    std::string id = block->getContentId();
    // The server names the part; only what was asked for may be written, so
    // that an answer cannot replace other assets. A Content-Id in the angle
    // brackets of RFC 2392 names the id inside them.
    if (byIds != nullptr && byIds->getIds().count(id) == 0) {
      const bool bracketed = id.size() > 2 && id.front() == '<' && id.back() == '>';
      if (!bracketed || byIds->getIds().count(id.substr(1, id.size() - 2)) == 0) {
        QV_LOG(3, "The server sent data with id %s, which was not requested. Skipping it.", id.c_str());
        continue;
      }
      id = id.substr(1, id.size() - 2);
    }
    std::ofstream* stream = cache->getOutputStream(id, static_cast<long>(block->getLength()));
    if (stream == nullptr) {
      QV_LOG(3, "Unable to open an output stream for data with id %s", id.c_str());
      return false;
    }
    if (block->getLength() > 0) {
      stream->write(reinterpret_cast<const char*>(block->getBytes()), static_cast<std::streamsize>(block->getLength()));
    }
    if (cache->closeOutputStream(id, stream, block->getContentType()) != 0) {
      QV_LOG(3, "Unable to close output stream for data with id %s", id.c_str());
      return false;
    }
    QV_LOG(8, "Successfully saved the Asset with id, %s, mime-type, %s, and that was %ld bytes large.", id.c_str(),
           block->getContentType().c_str(), static_cast<long>(block->getLength()));
    saved += static_cast<long>(block->getLength());
  }
  return true;
}

bool ContentUpdater::handleDataResponse(const txn::DataRequest& request, const txn::Response* response, long& total) {
  if (response == nullptr) {
    if (mTransaction && mTransaction->isCancelled()) {
      QV_LOG(3, "This data-request transaction has been marked cancelled. Aborting the data request.");
    }
    return false;
  }
  if (response->getType() == "Status") return !isSessionError(response->getResult());
  if (response->getType() != "DataResponse") {
    QV_LOG(3, "Expected a data response to a data request, but got the type, %s. Skipping this request.",
           response->getType().c_str());
    return false;
  }
  mRequest->setState(STATE_SAVING_DATA);
  long saved = 0;
  if (!saveDataParts(request, static_cast<const txn::DataResponse&>(*response), saved)) {
    QV_LOG(3, "Skipping this request. Unable to save the assets found in this response, %s",
           response->toString().c_str());
    return false;
  }
  total += saved;
  return true;
}

bool ContentUpdater::sendDataRequest(txn::DataRequest& request, long& total, TransactionListener& listener,
                                     long pauseSeconds) {
  if (isCancelled()) return false;
  QV_LOG(8, "Before sending a data-request, about to sleep for %ld seconds.Time now is %ld", pauseSeconds,
         static_cast<long>(std::time(nullptr)));
  Thread::sleep(pauseSeconds * 1000);
  QV_LOG(8, "Finished sleeping. Sending the data-request. Time now is %ld", static_cast<long>(std::time(nullptr)));
  if (isCancelled()) {
    QV_LOG(3, "task cancelled");
    return false;
  }
  std::unique_ptr<DcdTransport> transport = makeTransport(request);
  if (!transport) return false;
  QV_LOG(8, "transport=%p", static_cast<void*>(transport.get()));
  chooseProfiles(*transport);
  bool transactionCancelled = false;
  std::unique_ptr<txn::Response> response = exchange(request, *transport, listener, transactionCancelled);
  const bool ok = handleDataResponse(request, response.get(), total);
  QV_LOG(8, "will be delete transport=%p", static_cast<void*>(transport.get()));
  {
    std::lock_guard<std::mutex> guard(mCancelMutex);
    mTransaction.reset();
  }
  transport.reset();
  return ok;
}

bool ContentUpdater::requestLoop() {
  AssetSet missing;
  if (!findMissingAssets(missing)) {
    QV_LOG(3, "Unable to determine which assets are missing.");
    return false;
  }
  std::vector<std::unique_ptr<txn::DataRequest>> requests;
  const bool byUrlAllowed = !(mSettings->mEnableType3Req.has_value() && !*mSettings->mEnableType3Req);
  QV_LOG(8, "Are data requests by URL allowed? %d", byUrlAllowed ? 1 : 0);
  if (!formDataRequests(missing, maxIdsPerRequest(), byUrlAllowed, requests)) {
    QV_LOG(3, "Unable to form DCD data requests from the set of %d missing assets.", static_cast<int>(missing.size()));
    return false;
  }
  const long pause = mSettings->dataRequestPauseSeconds();
  DataRequestListener listener(mRequest);
  long total = 0;
  bool failed = false;
  for (const std::unique_ptr<txn::DataRequest>& request : requests) {
    if (isCancelled()) break;
    if (!sendDataRequest(*request, total, listener, pause)) {
      if (mSessionAttributes->getAttribute(txn::kAttrProtocolVer) == txn::kSessionProtocolVersion &&
          !mSessionAttributes->isValid()) {
        QV_LOG(3,
               "During a type2 or 3 request, the client determined that a session-related error occurred. Aborting "
               "type2/3 related requests.");
      }
      failed = true;
      break;
    }
  }
  requests.clear();
  if (isCancelled()) return true;  // reported as CANCELLED by the caller
  if (failed) return false;
  mSettings->setBytesDownloaded(static_cast<int>(total > INT_MAX ? INT_MAX : total));
  mRequest->setState(STATE_DATA_REQUESTS_DONE);
  return true;
}

ProtocolResponse ContentUpdater::downloadAssets() {
  ProtocolResponse response;
  // Assets must never fill the disk: below the floor (after housekeeping)
  // the stage is skipped and the update reported failed.
  NR_ContentCache* spaceCache = NR_ContentCache::getInstance();
  if (spaceCache != nullptr && spaceCache->checkAssetSpace() != 0) {
    response.mCode = FAILED;
    persistOutcome(response.mCode);
    return response;
  }
  const std::string protocolVer = mSessionAttributes->getAttribute(txn::kAttrProtocolVer);
  if (requestLoop()) {
    if (!isCancelled()) {
      QV_LOG(3, "Successfully retrieved item and feed data assets.");
      response.mCode = SUCCESS;
    } else {
      response.mCode = CANCELLED;
    }
    mRequest->setState(STATE_UPDATE_OVER);
    persistOutcome(response.mCode);
    return response;
  }
  {
    std::lock_guard<std::mutex> guard(mCancelMutex);
    if (mTransaction && (mTransaction->isCancelled() || mCancelled)) {
      QV_LOG(3, "While handling data requests, the update was cancelled.");
      response.mCode = CANCELLED;
    } else if (protocolVer == txn::kSessionProtocolVersion && !mSessionAttributes->isValid()) {
      QV_LOG(3, "[18344]Session is changed to invalid, must be expired or invalid, needs to register again");
      response.mCode = SESSION_ERROR;
    } else {
      response.mCode = FAILED;
    }
  }
  persistOutcome(response.mCode);
  return response;
}

}  // namespace flp2
