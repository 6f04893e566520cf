// nrctl session [show] | clear: the server session of the "flp20_s" engine,
// as kept in its session file (QUORVEL_SESSION_FILE, else /tmp/qvsession).
// "show" prints the file and the stored session id (a credential: it is
// shown only to whoever may read that file); "clear" empties the file, so
// the next update registers again.
#include <cstdio>
#include <optional>
#include <string>

#include "Nrctl.h"
#include "txn/Session.h"

namespace nrctl {
namespace {

// Bytes outside printable ASCII as \xHH, so a damaged file cannot send
// control sequences to the terminal.
std::string shown(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out;
}

}  // namespace

int cmdSession(int argc, char** argv) {
  Args args;
  std::string error;
  if (!parseArgs(argc, argv, 2, {}, {}, args, error)) return usageError("session: " + error);
  const std::string action = args.positional.empty() ? "show" : args.positional[0];
  if (args.positional.size() > 1 || (action != "show" && action != "clear")) {
    return usageError("session: expected 'show' or 'clear'");
  }
  txn::FileSession session;
  if (action == "clear") {
    session.setValid(false);
    if (session.isValid()) {
      std::fprintf(stderr, "nrctl: cannot empty %s\n", session.getPath().c_str());
      return kExitError;
    }
    std::printf("session cleared: %s\n", session.getPath().c_str());
    return kExitOk;
  }
  std::printf("session file: %s\n", session.getPath().c_str());
  std::optional<std::string> id = session.getCurrentSessionId();
  if (!id || id->empty()) {
    std::printf("session id: (none)\n");
  } else {
    std::printf("session id: %s\n", shown(*id).c_str());
  }
  return kExitOk;
}

}  // namespace nrctl
