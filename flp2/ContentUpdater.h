// The task that carries out one protocol request of the FLP 2.0 engine: the
// content update (a DCD content-update exchange whose channels and items are
// reconciled into the content cache, with the application's sync anchor and
// update-ttl persisted) followed by the asset downloads (the assets the
// stored channels and items refer to but the cache lacks, fetched in DCD data
// requests by id and by URL). A request of type DATA runs the downloads
// alone.
//
// Threads: run executes on the engine's run-loop thread; cancel may be
// called from any other thread while run is in progress (it sets a flag and
// cancels the pending transaction, both under mCancelMutex). Everything
// else belongs to the run-loop thread.
#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "ProtocolSettings.h"
#include "framework/Protocol.h"
#include "platform/ContentCache.h"
#include "transport/DcdTransport.h"
#include "txn/Primitives.h"
#include "txn/Session.h"
#include "txn/Transaction.h"

class QV_EventAndStatusFacade;

namespace flp2 {

class Feed;

// A reference to an asset: by its id alone, or by a URL it is fetched from.
struct Asset {
  static const char* const kAssetById;   // "ASSET_REFERENCED_BY_ID"
  static const char* const kAssetByUrl;  // "ASSET_REFERENCED_BY_URL"

  std::string id;
  std::string url;   // empty for assets referenced by id
  const char* type;  // kAssetById or kAssetByUrl

  bool operator<(const Asset& other) const { return id < other.id; }
  // "AssetById: id = ..." or "AssetByHref: id = ..., href = ...".
  std::string toString() const;
};
// One asset per id, the first inserted, in id order.
using AssetSet = std::set<Asset>;

// The assets a channel or item refers to: its template (unless "default"),
// its excerpt media and its "image".
std::vector<Asset> assetsOf(const NewsObject& object);

// Groups the missing assets (in id order) into data requests: ids are
// batched maxIdsPerRequest at a time, each asset by URL gets a request of
// its own (or is skipped when byUrlAllowed is false). False only for an
// asset of an unknown type.
bool formDataRequests(const AssetSet& missing, int maxIdsPerRequest, bool byUrlAllowed,
                      std::vector<std::unique_ptr<txn::DataRequest>>& requests);

class ContentUpdater {
 public:
  // request, session and settings are borrowed and must outlive the task.
  // Makes sure the container exists.
  ContentUpdater(ProtocolRequest* request, const qvTypes::ID& containerId, txn::Session* sessionAttributes,
                 ProtocolSettings* settings);
  ~ContentUpdater();
  ContentUpdater(const ContentUpdater&) = delete;
  ContentUpdater& operator=(const ContentUpdater&) = delete;

  // Runs the request; the code is a Result or the session error 4.
  ProtocolResponse run();
  // Marks the task cancelled and cancels the pending exchange. False when
  // the transaction refused the cancellation. Any thread.
  bool cancel();

  ProtocolRequest* getRequest() const { return mRequest; }

  // Stores a server answer to a content update: checks its type, then its
  // application, reconciles the channels and items into the cache and
  // persists the application's sync anchor and update-ttl. SUCCESS, or the
  // code the answer gives (its outcome is then persisted). The answer is
  // untrusted. run() uses it for the answer it receives.
  int applyContentUpdate(const txn::Response& response);

 private:
  // Content update (type 1).
  int contentUpdate();
  std::unique_ptr<txn::ContentUpdateRequest> buildContentUpdateRequest();
  std::unique_ptr<txn::Response> exchange(txn::Request& request, DcdTransport& transport, TransactionListener& listener,
                                          bool& transactionCancelled);
  int evaluateTransportResult(std::unique_ptr<txn::Response>& response, int httpStatus);
  int checkResponseType(const txn::Response& response);
  bool isSessionError(const txn::Result* result);
  bool applicationIsAcceptable(const txn::Application* application);
  bool reconcileFeeds(const txn::ContentUpdateResponse& response);
  bool unsubscribe(NR_ContentCache& cache, const qvTypes::ID& channelId);
  bool assignChannels(NR_ContentCache& cache, const std::vector<qvTypes::ID>& channelIds);
  bool storeApplication(const txn::Application& application);
  void persistOutcome(int code);

  // Transport shared by both phases: the server URL and POST, or for a data
  // request by URL its own URL and GET. Null without a URL.
  std::unique_ptr<DcdTransport> makeTransport(const txn::Request& request);
  void chooseProfiles(DcdTransport& transport);

  // Asset downloads (type 2/3).
  ProtocolResponse downloadAssets();
  bool requestLoop();
  bool findMissingAssets(AssetSet& missing);
  void classify(NR_ContentCache& cache, const qvTypes::ID& id, const std::vector<Asset>& assets, AssetSet& missing,
                std::string& missingIds, int& present, std::string& presentIds);
  // Remembers what a channel saved in this run refers to.
  void rememberStored(const Feed& feed);
  int maxIdsPerRequest();
  bool sendDataRequest(txn::DataRequest& request, long& total, TransactionListener& listener, long pauseSeconds);
  bool handleDataResponse(const txn::DataRequest& request, const txn::Response* response, long& total);
  bool saveDataParts(const txn::DataRequest& request, const txn::DataResponse& response, long& saved);

  bool isCancelled();

  ProtocolRequest* mRequest;
  std::unique_ptr<txn::Transaction> mTransaction;  // guarded by mCancelMutex
  qvTypes::ID mContainerId;
  txn::Session* mSessionAttributes;
  ProtocolSettings* mSettings;
  QV_EventAndStatusFacade* mFacade;
  bool mCancelled = false;  // guarded by mCancelMutex
  std::mutex mCancelMutex;

  // The channels and items this run stored, with the assets they refer to,
  // so that the asset phase need not read them back from the cache.
  struct StoredChannel {
    std::vector<Asset> assets;
    std::vector<qvTypes::ID> itemIds;
  };
  std::unordered_map<qvTypes::ID, StoredChannel> mStoredChannels;
  std::unordered_map<qvTypes::ID, std::vector<Asset>> mStoredItems;
};

}  // namespace flp2
