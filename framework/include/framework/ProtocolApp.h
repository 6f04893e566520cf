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
// guarded by locks below, and in the bus service's properties.
//
// The bus service (exportBusService): method calls (onMethod) and property
// reads (property) arrive on the event thread, among the events; the main
// thread writes the properties as work items run and announces each change
// with PropertiesChanged. The properties have a lock of their own, never
// held while calling out.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "framework/Protocol.h"
#include "platform/BusService.h"
#include "platform/EventService.h"
#include "platform/PtrRef.h"
#include "platform/QV_Event.h"
#include "platform/Thread.h"

class ProtocolFactory {
 public:
  virtual ~ProtocolFactory() = default;
  // A new engine, or null for a version not served.
  virtual std::unique_ptr<Protocol> create(const std::string& version) = 0;
  virtual bool supports(const std::string& version) = 0;
  // The versions supports() is true for, for the bus service's Versions.
  virtual std::vector<std::string> versions() { return {}; }
};

// The bus service's interface and the largest payload its Push takes.
extern const char* const SERVICE_INTERFACE;  // "com.kestrova.Quorvel.Service1"
constexpr std::size_t kMaxPushPayloadBytes = 1024 * 1024;
constexpr std::size_t kMaxMethodTextBytes = 256;

class ProtocolApp : public ES_EventHandler, public qvbus::ServiceHandler, private RequestObserver {
 public:
  explicit ProtocolApp(ProtocolFactory* factory);
  ~ProtocolApp() override;
  ProtocolApp(const ProtocolApp&) = delete;
  ProtocolApp& operator=(const ProtocolApp&) = delete;

  // Syncs the content cache, subscribes to the five request topics and
  // publishes the startup event. False, with a one-line reason in error and
  // nothing published, when the bus refused a subscription: a service that
  // would not hear some of its requests must not run.
  bool init(std::string& error);
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

  // Main thread, before init: exports the interface SERVICE_INTERFACE on
  // objectPath and owns busName (see ES_EventSubscriber::exportService for
  // the result).
  int exportBusService(const std::string& busName, const std::string& objectPath, std::string& error);
  // The interface's description (methods, properties), for exporting.
  static qvbus::ServiceSpec serviceSpec(const std::string& busName, const std::string& objectPath);

  // qvbus::ServiceHandler, on the event thread.
  qvbus::MethodReply onMethod(const std::string& method, const std::vector<std::string>& args) override;
  qvbus::PropertyValue property(const std::string& name) override;

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
  void postWork(std::unique_ptr<IHandler> work);
  bool createProtocol(const std::string& version);
  // Each takes the item's request or message over and frees it on return;
  // the engine only borrows it for its call.
  void handleUpdate(std::unique_ptr<ProtocolRequest> request);
  void handlePushMessage(std::unique_ptr<PushMessage> message);
  void sendResponse(const std::string& trigger, const std::string& type, int code, const std::string& version);
  // Reads "protocolversion" into version; false (logged) when it is missing
  // or not served here (see accepts).
  bool getProtocolVersion(const QV_Event& event, std::string& version);
  static bool getProperty(const QV_Event& event, const char* key, std::string& value);

  void stopLocked();

  // The one way from a request's fields to a posted work item, for events
  // and method calls alike. retryType null: an update.
  void submitUpdate(const std::string& version, const std::string& trigger, const std::string* retryType);
  void submitMessage(const std::string& version, const std::string& contentType, const std::string& data,
                     const std::string& payload);
  // Checks of the methods' arguments: an empty text when fine, else why not.
  std::string checkVersion(const std::string& version);

  // The bus service's properties, written on the main thread.
  void onRequestStatus(const ProtocolRequest& request) override;
  static void onTtl(void* self, int ttl);
  void beginItem(const std::string& version, const std::string& trigger, const std::string& type);
  void endItem(bool answered, int code);
  void announce(const std::vector<std::string>& names);

  struct ServiceProperties {
    std::string state = "idle";                   // idle, connecting, downloading
    std::map<std::string, std::string> current;  // version, trigger, type; empty when idle
    int lastResult = -1;                          // -1: no update answered yet
    uint64_t lastUpdate = 0;                      // Unix seconds; 0: none yet
    uint64_t nextUpdate = 0;                      // Unix seconds; 0: none announced
  };
  std::mutex mPropLock;  // guards mProps; never held while calling out
  ServiceProperties mProps;
  std::string mObjectPath;               // set before export, then read only
  std::atomic<bool> mExported{false};

  ProtocolFactory* mFactory;  // not owned
  std::unique_ptr<Protocol> mProtocol;  // replaced under mEngineLock
  bool mRunning = true;
  bool mIdle = true;
  std::string mVersion;  // of the last accepted event; each item carries its own
  // The one-item slot: filled by postWork, emptied by run, both moving the
  // item under mStateLock, so each item has exactly one owner at a time.
  std::unique_ptr<IHandler> mWork;
  Semaphore mWorkSignal;

  // Guards mWork, mIdle, mRunning and mVersion. Taken before mEngineLock
  // when both are needed; never held while an item runs.
  std::mutex mStateLock;
  // Held while mProtocol is replaced or destroyed and while cancel is
  // called on it, so a cancel never meets a half-destroyed engine.
  std::mutex mEngineLock;
};
