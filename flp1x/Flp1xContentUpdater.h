// One content update of the FLP 1.x engine, in two stages.
//
// Content stage: type-1 requests (GET of the sync package at the base URL
// joined with the next path) until the server answers a package whose ttl
// is not 1; that package is stored through the model, the update interval
// is announced (a ttl of 0 announces 8640000 seconds) and the download
// statistics are written. A server that keeps answering a ttl of 1 is
// followed at most kMaxTtlOneAnswers times in one update; the answer after
// that ends the update FAILED.
//
// Data stage: the assets the stored content refers to that the cache lacks,
// after a pause: those known only by id with type-2 requests (up to the
// configured number of ids each, multipart answer), then those with a URL
// with type-3 requests (one each, a pause before each). A part is saved only
// under an id its request asked for. Without an MSISDN the type-3 stage is
// skipped and the update ends FAILED; so does any failed asset stage.
//
// Results: SUCCESS, FAILED, CANCELLED, or WRONG_VERSION when a failed
// content request's HTTP status is one of the configured fallback codes. A
// failed content stage stores nothing; a failed asset leaves the assets
// saved before it.
//
// Cancellation: cancel stops the running request at once (the transport
// aborts it), ends the pauses, and no further request is sent: the update
// answers CANCELLED. A cancel is remembered for the life of the updater
// (one updater serves one work item), so a cancel that comes just before an
// update starts is not lost.
//
// Threads: update runs on the run-loop thread and holds the updater's
// mutex for its whole length. cancel may be called from any other thread
// at any time, also while update runs; it takes only a short lock of its
// own. The next path and the transport factory belong to the run-loop
// thread.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "HttpTransport.h"
#include "HttpTypes.h"
#include "Model.h"
#include "framework/Protocol.h"
#include "platform/PtrRef.h"
#include "platform/Thread.h"
#include "platform/Types.h"

class Flp1xPlatformWrapper;
class SyncPkg;

class Flp1xContentUpdater {
 public:
  // Answers with a ttl of 1 followed in one update.
  static constexpr int kMaxTtlOneAnswers = 16;
  // The pause before the data stage and before each type-3 request, in the
  // unit of Thread::sleep (scaled by QUORVEL_SLEEP_SCALE).
  static constexpr long kPauseMillis = 5000;
  // The ttl announced for a ttl of 0.
  static constexpr int kTtlForZero = 8640000;

  // Makes the transport of one update; the updater owns and deletes it.
  using TransportFactory = std::function<Transport*()>;

  // wrapper: settings and phone data; null means the process-wide one,
  // taken when the first update starts.
  explicit Flp1xContentUpdater(const qvTypes::ID& containerId, Flp1xPlatformWrapper* wrapper = nullptr);
  ~Flp1xContentUpdater();
  Flp1xContentUpdater(const Flp1xContentUpdater&) = delete;
  Flp1xContentUpdater& operator=(const Flp1xContentUpdater&) = delete;

  // Stops the running update (see the file comment). Any thread.
  void cancel();

  // Runs one update for request (not owned; kept only while update runs).
  ProtocolResponse update(ProtocolRequest* request);

  // The path asked for by the next type-1 request; set by the server's
  // "X-FL-NextURI" and by a Service Loading push; kept across updates.
  const std::string& getNextUri() const { return mNextUri; }
  void setNextUri(const std::string& path) { mNextUri = path; }

  const qvTypes::ID& getContainerId() const { return mContainerId; }

  // Replaces the transport maker (tests). Only between updates.
  void setTransportFactory(TransportFactory factory) { mTransportFactory = std::move(factory); }

 private:
  // Ends an update: state 10, transport deleted, protocol request
  // forgotten.
  void finish();
  bool isCancelled();
  // Waits the scaled pause; false (at once) when cancelled.
  bool pause(long millis);

  int runType1Loop(std::unique_ptr<SyncPkg>& pkg);
  bool sendType1Request(std::unique_ptr<SyncPkg>& pkg);
  // The result of a failed content stage.
  int contentFailureCode();
  bool runType2Stage(const RequiredContentList& byIds);
  bool runType3Stage(RequiredContentList& byUrl);
  // The MSISDN lines of every request; false when the MSISDN is unknown.
  bool addMsisdn(HttpRequest& request, const char* missingLog);
  std::string contentUrl() const;

  Mutex mMutex;  // held for the whole of update
  qvTypes::ID mContainerId;

  // Guards mTransport's lifetime and mCancelled between update and cancel.
  std::mutex mCancelLock;
  std::condition_variable mCancelSignal;
  std::unique_ptr<Transport> mTransport;
  bool mCancelled = false;

  PtrRef<HttpRequest> mRequest;
  PtrRef<HttpResponse> mResponse;  // of the last type-1 request
  size_t mResponseBytes = 0;       // the body length of that response
  ProtocolRequest* mProtocolRequest = nullptr;
  std::string mNextUri;
  Flp1xPlatformWrapper* mWrapper;
  TransportFactory mTransportFactory;
};
