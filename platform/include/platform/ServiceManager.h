// Start-up and shutdown notifications to the service manager (systemd's
// notification protocol, sent to the socket that NOTIFY_SOCKET names).
//
// A Type=notify unit is "started" once notifyReady has been sent and
// "deactivating" once notifyStopping has. Without NOTIFY_SOCKET (outside
// systemd, in tests that do not ask for it) every call does nothing. A
// notification that cannot be sent is logged once per call.
//
// Threads: any; each call is one datagram, sent without shared state.
#pragma once

#include <string>

namespace qvservice {

// READY=1, with a STATUS= text when status is not empty.
void notifyReady(const std::string& status = "");
// STOPPING=1.
void notifyStopping();
// STATUS= text alone.
void notifyStatus(const std::string& status);

}  // namespace qvservice
