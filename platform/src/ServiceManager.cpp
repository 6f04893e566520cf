#include "platform/ServiceManager.h"

#include <systemd/sd-daemon.h>

#include <cstring>

#include "platform/Log.h"

namespace qvservice {
namespace {

void send(const std::string& state) {
  // unset_environment=0: later notifications (STOPPING=1) still find the
  // socket.
  int r = sd_notify(0, state.c_str());
  if (r < 0) QV_LOG(3, "Cannot notify the service manager (%s): %s", state.c_str(), std::strerror(-r));
}

std::string statusLine(const std::string& status) {
  std::string line = "STATUS=";
  for (char c : status) line.push_back(c == '\n' ? ' ' : c);
  return line;
}

}  // namespace

void notifyReady(const std::string& status) {
  send(status.empty() ? std::string("READY=1") : "READY=1\n" + statusLine(status));
}

void notifyStopping() { send("STOPPING=1"); }

void notifyStatus(const std::string& status) { send(statusLine(status)); }

}  // namespace qvservice
