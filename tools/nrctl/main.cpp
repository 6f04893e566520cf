// nrctl: drives the protocol services over the bus and inspects their
// settings and content cache.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#if __has_include("DcdDecode.h")
#include "DcdDecode.h"
#define NRCTL_HAS_DCD 1
#endif
#include "Nrctl.h"
#include "platform/EventService.h"
#include "platform/Log.h"

namespace nrctl {

int cmdStatus(int argc, char** argv);  // StatusCmd.cpp
int cmdSession(int argc, char** argv);  // SessionCmd.cpp

void printUsage(FILE* out) {
  std::fputs(
      "usage: nrctl COMMAND [ARGS]\n"
      "\n"
      "Requests (a method call to the service when its name is on the bus, else an\n"
      "event; --event always sends the event; --wait follows the status events and\n"
      "exits with the response code: 0 success, 1 failed, 2 cancelled, 3 wrong\n"
      "version; a request the service refuses exits 1 with its reason):\n"
      "  nrctl update VERSION [--trigger T] [--wait] [--timeout S] [--event]\n"
      "  nrctl retry VERSION --type content|data [--trigger T] [--wait] [--timeout S] [--event]\n"
      "  nrctl push VERSION --content-type T (--file F | -) [--wait] [--timeout S] [--event]\n"
      "  nrctl cancel [--event]\n"
      "  nrctl shutdown [VERSION] [--event]   ends every service that does not serve VERSION\n"
      "  nrctl watch [--json] [--count N] [--timeout S]\n"
      "\n"
      "Settings (NAME is the full name, e.g. QVCore.DCD.flp20.ServerURL):\n"
      "  nrctl settings get NAME\n"
      "  nrctl settings set NAME VALUE [--type int|bool|string]\n"
      "  nrctl settings list [--json]\n"
      "  nrctl settings import FILE\n"
      "\n"
      "Content cache:\n"
      "  nrctl cache containers|channels|items|assets|usage [--json]\n"
      "\n"
      "Server answers:\n"
      "  nrctl dcd decode FILE [--content-type T]\n"
      "\n"
      "Update scheduler (last result, last and next update, retry state per version;\n"
      "without --json also the state of each service whose name is on the bus):\n"
      "  nrctl status [--json]\n"
      "\n"
      "Server session of flp20_s (the file QUORVEL_SESSION_FILE, default /tmp/qvsession):\n"
      "  nrctl session [show|clear]\n"
      "\n"
      "VERSION is flp20, flp20_s or flp1x. T for triggers: man, sim, mr, mc, ttl,\n"
      "svr, ds (default man). --timeout defaults to 300 seconds.\n"
      "Set NRCTL_VERBOSE=1 to see the platform's log lines on standard error.\n"
      "Exit status: 0 ok, 1 error, 2 bad arguments, 124 time-out, 125 no bus;\n"
      "with --wait, the response code.\n",
      out);
}

int usageError(const std::string& message) {
  std::fprintf(stderr, "nrctl: %s\n\n", message.c_str());
  printUsage(stderr);
  return kExitUsage;
}

}  // namespace nrctl

int main(int argc, char** argv) {
  using namespace nrctl;
  // The platform's trace lines are for the daemons' logs; nrctl shows them on
  // standard error only when NRCTL_VERBOSE is set.
  static FILE* quiet = nullptr;
  if (std::getenv("NRCTL_VERBOSE") != nullptr) {
    librunlog_to_module_ptr = stderr;
  } else {
    quiet = std::fopen("/dev/null", "w");
    librunlog_to_module_ptr = quiet != nullptr ? quiet : stderr;
  }
  if (argc < 2) return usageError("no command given");
  const std::string command = argv[1];
  if (command == "-h" || command == "--help" || command == "help") {
    printUsage(stdout);
    return kExitOk;
  }
  if (command == "update" || command == "retry" || command == "push" || command == "cancel" ||
      command == "shutdown" || command == "watch") {
    // The services check who sent a request while the sender is still on
    // the bus: a command that does not wait for the answer stays a moment.
    bool waits = false;
    for (int i = 2; i < argc; ++i) waits = waits || std::strcmp(argv[i], "--wait") == 0;
    if (!waits) ES_EventSubscriber::setSendGrace(1000);
    return cmdEvents(command, argc, argv);
  }
  if (command == "status") return cmdStatus(argc, argv);
  if (command == "session") return cmdSession(argc, argv);
  if (command == "settings") return cmdSettings(argc, argv);
  if (command == "cache") return cmdCache(argc, argv);
  if (command == "dcd") {
    if (argc < 3 || std::strcmp(argv[2], "decode") != 0) return usageError("dcd: expected 'decode'");
#ifdef NRCTL_HAS_DCD
    return nrctlDcdDecode(argc - 2, argv + 2);
#else
    return usageError("dcd: not part of this build");
#endif
  }
  return usageError("unknown command '" + command + "'");
}
