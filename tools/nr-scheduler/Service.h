// nr-scheduler as a daemon: the Scheduler on the bus, its configuration
// from the settings store, its state in $QUORVEL_HOME/scheduler.state.
//
// Settings (read again at every decision, so a change applies at once):
//   QVCore.Service.Scheduler.ProtocolVersions  string, comma list of the
//       versions scheduled (default "flp20,flp20_s,flp1x")
//   QVCore.Service.Scheduler.StartupDelay      int, seconds (default 30)
//   QVCore.Service.Scheduler.UpdateTimeout     int, seconds (default 1800)
//   QVCore.Service.Scheduler.MinInterval       int, seconds (default 60)
//   QVCore.DCD.MaxRetries        int (default 3; a negative value: 3)
//   QVCore.DCD.RetryWaitAlgo     int, 0 constant, 1 linear, 2 exponential
//                                (default 0; any other value: 0)
//   QVCore.DCD.RetryIncInterval  int, minutes (default 5; 0 or less: 5)
//   QVCore.DCD.MaxRetryWaitTime  int, minutes (default 60; 0: no bound;
//                                a negative value: 60)
//   QVDevice.NetworkAccessAllowed  bool, asked before every post
// Every duration, and every interval announced on the bus, is multiplied by
// the sleep scale (QUORVEL_SLEEP_SCALE, platform/Thread.h), so tests and
// demonstrations run the same rules in milliseconds.
//
// Threads: runService on the main thread; the event service's delivery
// thread hands events, and the services' CurrentRequest changes, over
// through a locked queue.
#pragma once

#include "Scheduler.h"

class QuorvelSettingMgr;

namespace nrsched {

// The configuration as the settings store holds it now (defaults for what
// is missing; no store: all defaults).
Config loadConfig(QuorvelSettingMgr* settings);

// Runs the daemon until SIGTERM or SIGINT. Exit status: 0 after a stop
// signal, 1 when QUORVEL_HOME, the settings store or the bus is unusable
// (one line on standard error says why).
int runService();

}  // namespace nrsched
