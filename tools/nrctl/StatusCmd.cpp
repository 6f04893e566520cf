// nrctl status [--json]: the update scheduler's view, per protocol version:
// the last result, the last and the next update time and the retry state,
// read from the state file nr-scheduler keeps ($QUORVEL_HOME/scheduler.state).
// The settings store is not opened, so status works for anyone who may read
// that file.
#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "Nrctl.h"
#include "StateFile.h"
#include "framework/Protocol.h"

namespace nrctl {
namespace {

std::string timeText(int64_t millis) {
  if (millis <= 0) return "-";
  time_t seconds = static_cast<time_t>(millis / 1000);
  struct tm local {};
  if (localtime_r(&seconds, &local) == nullptr) return "-";
  char buf[64];
  if (std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S%z", &local) == 0) return "-";
  return buf;
}

std::string resultText(int code) {
  switch (code) {
    case -1: return "-";
    case SUCCESS: return "SUCCESS";
    case FAILED: return "FAILED";
    case CANCELLED: return "CANCELLED";
    case WRONG_VERSION: return "WRONG_VERSION";
    default: return std::to_string(code);
  }
}

std::string retryText(const nrsched::VersionState& v) {
  switch (v.retryState) {
    case nrsched::RetryState::NONE: return "-";
    case nrsched::RetryState::RETRYING:
      return "retry " + std::to_string(v.retries) + " (" + v.retryType + ")" + (v.dueMs > 0 ? " due" : "");
    case nrsched::RetryState::EXHAUSTED: return "retries used up";
    case nrsched::RetryState::POSTPONED: return "cancelled, postponed";
    case nrsched::RetryState::PARKED: return "wrong version, not scheduled";
  }
  return "-";
}

const char* kindText(nrsched::Pending::Kind k) {
  switch (k) {
    case nrsched::Pending::UPDATE: return "update";
    case nrsched::Pending::RETRY: return "retry";
    case nrsched::Pending::MESSAGE: return "message";
  }
  return "update";
}

std::string jsonTime(int64_t millis) { return millis <= 0 ? "null" : jsonString(timeText(millis)); }

void printJson(const nrsched::State& state) {
  std::printf("{\"versions\":[");
  bool first = true;
  for (const nrsched::VersionState& v : state.versions) {
    std::printf("%s{\"version\":%s,\"lastResult\":%s,\"lastUpdate\":%s,\"nextUpdate\":%s,\"nextIsRetry\":%s,"
                "\"retries\":%d,\"retryState\":\"%s\",\"intervalSeconds\":%lld}",
                first ? "" : ",", jsonString(v.version).c_str(),
                v.lastResult < 0 ? "null" : jsonString(resultText(v.lastResult)).c_str(), jsonTime(v.lastUpdateMs).c_str(),
                jsonTime(v.dueMs).c_str(), v.dueIsRetry ? "true" : "false", v.retries,
                nrsched::retryStateName(v.retryState), static_cast<long long>(v.intervalMs / 1000));
    first = false;
  }
  std::printf("],\"running\":[");
  first = true;
  for (const nrsched::Pending& p : state.pending) {
    std::printf("%s{\"kind\":\"%s\",\"version\":%s,\"trigger\":%s,\"since\":%s,\"byScheduler\":%s}", first ? "" : ",",
                kindText(p.kind), jsonString(p.version).c_str(), jsonString(p.trigger).c_str(),
                jsonTime(p.sinceMs).c_str(), p.own ? "true" : "false");
    first = false;
  }
  std::printf("],\"waitingForNetworkSince\":%s}\n", jsonTime(state.waitingForNetworkSinceMs).c_str());
}

void printTable(const nrsched::State& state) {
  std::printf("%-9s %-14s %-25s %-25s %s\n", "VERSION", "LAST RESULT", "LAST UPDATE", "NEXT UPDATE", "RETRY");
  for (const nrsched::VersionState& v : state.versions) {
    std::printf("%-9s %-14s %-25s %-25s %s\n", v.version.c_str(), resultText(v.lastResult).c_str(),
                timeText(v.lastUpdateMs).c_str(), timeText(v.dueMs).c_str(), retryText(v).c_str());
  }
  for (const nrsched::Pending& p : state.pending) {
    std::printf("running: %s of %s (trigger %s%s) since %s\n", kindText(p.kind), p.version.c_str(), p.trigger.c_str(),
                p.own ? ", posted by the scheduler" : "", timeText(p.sinceMs).c_str());
  }
  if (state.waitingForNetworkSinceMs > 0) {
    std::printf("waiting for network access since %s\n", timeText(state.waitingForNetworkSinceMs).c_str());
  }
}

}  // namespace

int cmdStatus(int argc, char** argv) {
  Args args;
  std::string error;
  if (!parseArgs(argc, argv, 2, {}, {"--json"}, args, error)) return usageError("status: " + error);
  if (!args.positional.empty()) return usageError("status: takes no arguments");
  const std::string path = nrsched::statePath();
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) {
    if (args.has("--json")) {
      std::printf("{\"versions\":[],\"running\":[],\"waitingForNetworkSince\":null}\n");
    } else {
      std::printf("no update has been scheduled yet (%s does not exist)\n", path.c_str());
      printServiceStates();
    }
    return kExitOk;
  }
  nrsched::State state;
  if (!nrsched::loadState(path, state, error)) {
    std::fprintf(stderr, "nrctl: %s\n", error.c_str());
    return kExitError;
  }
  if (args.has("--json")) {
    printJson(state);
  } else {
    printTable(state);
    printServiceStates();
  }
  return kExitOk;
}

}  // namespace nrctl
