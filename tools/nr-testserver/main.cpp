// nr-testserver: a loopback content server for tests and demos. It answers
// the requests of the FLP 2.0 (DCD) or FLP 1.x engine from the files of a
// root directory, with fault injection by rules and a JSON request log.
// See docs/nr-testserver.md.
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Content.h"
#include "Server.h"
#include "UniqueFd.h"
#include "platform/Log.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

void printUsage(FILE* out) {
  std::fputs(
      "usage: nr-testserver --root DIR [--mode dcd|flp1x] [--port N] [--rules FILE]\n"
      "                     [--log FILE] [--max-body BYTES]\n"
      "\n"
      "Serves the files of DIR on 127.0.0.1 as a content server would answer\n"
      "the FLP 2.0 engine (--mode dcd, the default) or the FLP 1.x engine\n"
      "(--mode flp1x). The port listened on is printed on the first line of\n"
      "standard output; --port 0 (the default) picks a free one.\n"
      "\n"
      "  --rules FILE     fault rules (status, headers, delay, drip, close-after,\n"
      "                   gzip, body; sequences with 'next'); sidecar files\n"
      "                   DIR/<answer file>.rules apply as well\n"
      "  --log FILE       append one JSON line per request (method, target, path,\n"
      "                   headers in order, body, kind, answer, status)\n"
      "  --max-body BYTES largest request body accepted (default 16777216)\n"
      "  -h, --help       this text\n"
      "\n"
      "Stops cleanly on SIGTERM or SIGINT. Exit status: 0 stopped, 1 could not\n"
      "start, 2 bad arguments.\n",
      out);
}

int usageError(const std::string& message) {
  std::fprintf(stderr, "nr-testserver: %s\n\n", message.c_str());
  printUsage(stderr);
  return kExitUsage;
}

bool parseLong(const std::string& text, long min, long max, long& out) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // Diagnostics go to standard error; standard output carries the port.
  librunlog_to_module_ptr = stderr;

  testserver::Config config;
  bool haveRoot = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      printUsage(stdout);
      return kExitOk;
    }
    std::string value;
    bool hasValue = false;
    const std::size_t eq = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      hasValue = true;
    }
    const bool takesValue = arg == "--root" || arg == "--mode" || arg == "--port" || arg == "--rules" ||
                            arg == "--log" || arg == "--max-body";
    if (!takesValue) return usageError("unknown argument '" + arg + "'");
    if (!hasValue) {
      if (i + 1 >= argc) return usageError(arg + " needs a value");
      value = argv[++i];
    }
    long n = 0;
    if (arg == "--root") {
      if (value.empty()) return usageError("--root needs a directory");
      config.root = value;
      haveRoot = true;
    } else if (arg == "--mode") {
      if (value == "dcd") {
        config.mode = testserver::Mode::kDcd;
      } else if (value == "flp1x") {
        config.mode = testserver::Mode::kFlp1x;
      } else {
        return usageError("--mode must be dcd or flp1x");
      }
    } else if (arg == "--port") {
      if (!parseLong(value, 0, 65535, n)) return usageError("--port must be a number from 0 to 65535");
      config.port = static_cast<int>(n);
    } else if (arg == "--rules") {
      if (value.empty()) return usageError("--rules needs a file");
      config.rulesPath = value;
    } else if (arg == "--log") {
      if (value.empty()) return usageError("--log needs a file");
      config.logPath = value;
    } else {
      if (!parseLong(value, 1, 1L << 30, n)) return usageError("--max-body must be a byte count from 1 to 1073741824");
      config.maxBody = static_cast<std::size_t>(n);
    }
  }
  if (!haveRoot) return usageError("--root is required");
  struct stat st;
  if (::stat(config.root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return usageError("--root " + config.root + " is not a directory");
  }
  while (config.root.size() > 1 && config.root.back() == '/') config.root.pop_back();

  // The stop signals are taken through a signalfd, blocked before any
  // thread exists so that every thread inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  if (pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) != 0) {
    QV_LOG(3, "cannot block the stop signals\n");
    return kExitFailure;
  }
  ::signal(SIGPIPE, SIG_IGN);
  testserver::UniqueFd stopFd(::signalfd(-1, &stopSignals, SFD_CLOEXEC));
  if (!stopFd.valid()) {
    QV_LOG(3, "signalfd failed: %s\n", std::strerror(errno));
    return kExitFailure;
  }

  testserver::initXml();
  testserver::Server server(config);
  std::string error;
  if (!server.loadRules(error)) return usageError(error);
  if (!server.start(error)) {
    QV_LOG(3, "cannot start: %s\n", error.c_str());
    return kExitFailure;
  }
  std::printf("%d\n", server.port());
  std::fflush(stdout);
  server.run(stopFd.get());
  return kExitOk;
}
