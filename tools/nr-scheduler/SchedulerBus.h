// The scheduler's conventional bus service: the name
// com.kestrova.Quorvel.Scheduler, the object /com/kestrova/Quorvel/Scheduler
// and the read-only interface com.kestrova.Quorvel.Scheduler1, whose
// properties show per protocol version what "nrctl status" shows:
//   Versions       as     the versions scheduled
//   LastResult     a{si}  the last update answer's code; -1: none yet
//   LastUpdate     a{st}  when it arrived, Unix seconds; 0: none
//   NextUpdate     a{st}  when the next update or retry is due; 0: none
//   RetryState     a{ss}  none, retrying, exhausted, postponed, parked (a
//                         due retry: NextUpdate is when it is posted)
//   Retries        a{si}  retries used since the last success
//   Running        a{ss}  version -> kind (update, retry, message) of the
//                         requests running now
// Each change is announced with PropertiesChanged.
//
// Threads: publish() on the scheduler's main loop; property() on the event
// delivery thread. The snapshot between them is locked.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Scheduler.h"
#include "platform/BusService.h"

namespace nrsched {

extern const char* const SCHEDULER_BUS_NAME;
extern const char* const SCHEDULER_OBJECT_PATH;
extern const char* const SCHEDULER_INTERFACE;

// The properties as the interface shows them, from a state.
std::map<std::string, qvbus::PropertyValue> schedulerProperties(const Config& config, const State& state);

class SchedulerBus : public qvbus::ServiceHandler {
 public:
  // Exports the interface and owns the name: 1, 0 when another instance
  // owns it, -1 with a reason.
  int start(const Config& config, const State& state, std::string& error);
  // Takes the state after a decision and announces what changed.
  void publish(const Config& config, const State& state);

  qvbus::MethodReply onMethod(const std::string& method, const std::vector<std::string>& args) override;
  qvbus::PropertyValue property(const std::string& name) override;

 private:
  std::mutex mLock;
  std::map<std::string, qvbus::PropertyValue> mProps;
  bool mStarted = false;
};

}  // namespace nrsched
