// The body of both service daemons: turns events into work for a protocol
// engine, runs that work one item at a time and publishes the outcome.
//
// Threads:
// - main thread: constructor, init, run (and through it every work item:
//   engine creation, handleRequest, handleMessage, the response event),
//   destructor.
// - event thread (the event service's delivery thread): onEvent and what it
//   calls (property reads, request creation, postWork, cancelCurrent,
//   processShutdown); requestShutdown may be called from it as well.
// The two meet in the one-slot work queue and the engine pointer, both
// guarded by locks below; no other state is shared.
#pragma once

#include <mutex>
#include <string>

#include "framework/Protocol.h"
#include "platform/EventService.h"
#include "platform/PtrRef.h"
#include "platform/QV_Event.h"
#include "platform/Thread.h"

class ProtocolFactory {
 public:
  virtual ~ProtocolFactory() = default;
  // A new engine the caller owns, or null for a version not served.
  virtual Protocol* create(const std::string& version) = 0;
  virtual bool supports(const std::string& version) = 0;
};

class ProtocolApp : public ES_EventHandler {
 public:
  explicit ProtocolApp(ProtocolFactory* factory);
  ~ProtocolApp() override;
  ProtocolApp(const ProtocolApp&) = delete;
  ProtocolApp& operator=(const ProtocolApp&) = delete;

  // Syncs the content cache, subscribes to the five request topics and
  // publishes the startup event. Always true.
  bool init();
  // Runs work items until a shutdown is accepted.
  void run();

  void onEvent(const ES_Event& event) override;

  // Ends the service as an accepted shutdown does (SIGTERM, SIGINT): the
  // running item is cancelled and the run loop ends once it has returned.
  void requestShutdown();

  // True when work for this protocol version is this service's: update,
  // retry and message work for any other version is ignored (no work item,
  // no cancel, no response). Any thread.
  bool accepts(const std::string& version);

  // Conversion of an event-service event (exposed for tests).
  static QV_Event convertEvent(const ES_Event& event);

 private:
  friend class UpdateWork;
  friend class MessageWork;

  void receiveEvent(const QV_Event& event);
  void processUpdate(const QV_Event& event);
  void processMessage(const QV_Event& event);
  void processRetry(const QV_Event& event);
  void processShutdown(const QV_Event& event);
  void cancelCurrent();
  void cancelCurrentLocked();
  void postWork(IHandler* work);
  bool createProtocol(const std::string& version);
  void handleUpdate(ProtocolRequest* request);
  void handlePushMessage(PushMessage* message);
  void sendResponse(const std::string& trigger, const std::string& type, int code, const std::string& version);
  // Reads "protocolversion" into version; false (logged) when it is missing
  // or not accepted. An accepted version becomes mVersion.
  bool getProtocolVersion(const QV_Event& event, std::string& version);
  static bool getProperty(const QV_Event& event, const char* key, std::string& value);

  void stopLocked();

  ProtocolFactory* mFactory;  // not owned
  Protocol* mProtocol = nullptr;  // owned; replaced under mEngineLock
  bool mRunning = true;
  bool mIdle = true;
  std::string mVersion;  // of the last accepted event; each item carries its own
  PtrRef<IHandler> mWork;
  Semaphore mWorkSignal;

  // Guards mWork, mIdle, mRunning and mVersion. Taken before mEngineLock
  // when both are needed; never held while an item runs.
  std::mutex mStateLock;
  // Held while mProtocol is replaced or destroyed and while cancel is
  // called on it, so a cancel never meets a half-destroyed engine.
  std::mutex mEngineLock;
};
