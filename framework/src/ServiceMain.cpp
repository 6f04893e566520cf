#include "framework/ServiceMain.h"

#include <atomic>
#include <cstdio>
#include <string>

#include "platform/ContentCache.h"
#include "platform/EventService.h"
#include "platform/Home.h"
#include "platform/ServiceManager.h"
#include "platform/Settings.h"

namespace {

// How long a daemon stays on the bus after its last answer, so that the
// receivers can still check who sent it.
constexpr long kSendGraceMillis = 1000;

std::atomic<bool> gStoppingSent{false};

// The service manager hears once that the service is going down: at the
// stop signal, or when a shutdown event ended the run loop.
void tellStopping() {
  if (!gStoppingSent.exchange(true)) qvservice::notifyStopping();
}

void onStopSignal(void* context) {
  tellStopping();
  static_cast<ProtocolApp*>(context)->requestShutdown();
}

bool checkEnvironment(const char* name) {
  std::string error;
  if (!qvhome::ensure(error)) {
    std::fprintf(stderr, "%s: QUORVEL_HOME %s is not usable: %s\n", name, qvhome::path().c_str(), error.c_str());
    return false;
  }
  if (QuorvelSettingMgr::getSettingMgrInstance() == nullptr) {
    std::fprintf(stderr, "%s: cannot open the settings store under %s\n", name, qvhome::path().c_str());
    return false;
  }
  if (NR_ContentCache::getInstance() == nullptr) {
    std::fprintf(stderr, "%s: cannot open the content cache under %s\n", name, qvhome::path().c_str());
    return false;
  }
  ES_EventSubscriber::blockStopSignals();
  if (!ES_EventSubscriber::connect(error)) {
    std::fprintf(stderr, "%s: %s\n", name, error.c_str());
    return false;
  }
  return true;
}

}  // namespace

int serviceMain(ProtocolFactory& factory, const ServiceMainOptions& options) {
  if (options.traceMainSteps) std::puts("begin main function");
  std::fflush(stdout);
  if (!checkEnvironment(options.name)) return 1;
  {
    ProtocolApp app(&factory);
    if (options.traceMainSteps) std::puts("new ProtocolApp complate.");
    std::fflush(stdout);
    ES_EventSubscriber::setStopHandler(&onStopSignal, &app);
    ES_EventSubscriber::setSendGrace(kSendGraceMillis);
    // The name comes first: a second instance leaves before it subscribes
    // or announces anything.
    std::string error;
    int owned = app.exportBusService(options.busName, options.objectPath, error);
    if (owned <= 0) {
      if (owned == 0) {
        std::fprintf(stderr, "%s: another instance owns the bus name %s\n", options.name, options.busName);
      } else {
        std::fprintf(stderr, "%s: %s\n", options.name, error.c_str());
      }
      ES_EventSubscriber::shutdown();
      return 1;
    }
    if (!app.init(error)) {
      std::fprintf(stderr, "%s: %s\n", options.name, error.c_str());
      ES_EventSubscriber::shutdown();
      return 1;
    }
    // The subscriptions are in place once init returns: requests sent from
    // now on are heard.
    qvservice::notifyReady(std::string(options.name) + " is listening for requests");
    if (options.traceMainSteps) std::puts("begin run.");
    std::fflush(stdout);
    app.run();
    tellStopping();
    // Deliveries end before the application they call goes away.
    ES_EventSubscriber::shutdown();
  }
  std::fflush(stdout);
  return 0;
}
