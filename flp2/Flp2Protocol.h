// The FLP 2.0 protocol engine, created by flp2svc's factory for "flp20". It
// owns the engine's settings, the session attributes handed to every DCD
// transaction and the id of the one content-cache container of all channels
// and items, and runs each request through a ContentUpdater.
//
// Threads: constructed, used and destroyed on the run-loop thread;
// handleRequest and handleMessage run there. cancel is called from the event
// thread while handleRequest runs (the framework serialises it against the
// engine's creation and destruction); it reaches the updater, whose cancel
// is thread-safe.
#pragma once

#include <memory>
#include <mutex>

#include "ContentUpdater.h"
#include "ProtocolSettings.h"
#include "framework/Protocol.h"
#include "platform/Types.h"
#include "txn/Session.h"

class QV_EventAndStatusFacade;

namespace flp2 {

class Protocol : public ::Protocol {
 public:
  explicit Protocol(int runState);
  ~Protocol() override;
  Protocol(const Protocol&) = delete;
  Protocol& operator=(const Protocol&) = delete;

  ProtocolResponse handleRequest(ProtocolRequest* request) override;
  // A server notification: true when it was carried out; one that asks for
  // a content update gives the update's success.
  bool handleMessage(PushMessage* message) override;
  bool cancel() override;

  // For tests and the session variant.
  const qvTypes::ID* getContainerId() const { return mContainerId.get(); }
  txn::Session& getSessionAttributes() { return *mSessionAttributes; }
  ProtocolSettings& getSettings() { return *mSettings; }

 protected:
  // Fills a store with the device's attributes (model, software version,
  // subscriber id, and the two optional flags).
  void fillSessionAttributes(txn::Session& session, const char* logTag);

  std::unique_ptr<ProtocolSettings> mSettings;
  // The task of the running request: set only while handleRequest runs.
  // Guarded by mUpdaterLock, so that cancel never reaches a task that is
  // being freed.
  std::unique_ptr<ContentUpdater> mContentUpdater;
  std::mutex mUpdaterLock;
  std::unique_ptr<txn::Session> mSessionAttributes;
  std::unique_ptr<qvTypes::ID> mContainerId;

 private:
  void setUpContainer();
};

}  // namespace flp2
