// nr-scheduler: posts the protocol services' updates when the server says
// they are due, retries failed ones, and keeps its state across restarts.
// See docs/service.md and nr-scheduler(8).
#include <cstdio>
#include <cstring>

#include "Service.h"

namespace {

void printUsage(FILE* out) {
  std::fputs(
      "usage: nr-scheduler\n"
      "\n"
      "Runs until SIGTERM or SIGINT. Watches the protocol services' requests and\n"
      "answers on the bus (QUORVEL_BUS_ADDRESS, else the session bus when\n"
      "DBUS_SESSION_BUS_ADDRESS is set, else the system bus), posts an update with\n"
      "trigger \"ttl\" when the announced interval has passed, retries failed ones,\n"
      "and keeps its state in $QUORVEL_HOME/scheduler.state (\"nrctl status\" shows it).\n"
      "Exit status: 0 after a stop signal, 1 when QUORVEL_HOME, the settings store\n"
      "or the bus is unusable, 2 for bad arguments.\n",
      out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    printUsage(stdout);
    return 0;
  }
  if (argc != 1) {
    std::fprintf(stderr, "nr-scheduler: takes no arguments\n\n");
    printUsage(stderr);
    return 2;
  }
  return nrsched::runService();
}
