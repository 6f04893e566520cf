// The update scheduler's decisions, without a bus or a clock of its own.
//
// The engines never schedule themselves: during an update they announce the
// next interval (a ttlupdate event, seconds) and answer with a response
// event. The scheduler watches the requests that pass on the bus (request
// events, and the services' CurrentRequest for those sent by method call), pairs the
// announcements and answers with them, and decides when the next update of
// each configured protocol version is due and whether it may be posted now.
// Times are wall-clock milliseconds since 1970; durations in Config are
// milliseconds already multiplied by the time scale.
//
// Rules, per protocol version:
// - An announced interval counts from the announcement. After a SUCCESS the
//   next update is due one interval after the last announcement of that
//   update; without an announcement none is due (the server asked for no
//   further update). A negative interval means "never"; one below
//   Config::minIntervalMs is raised to it.
// - After a FAILED answer to an update the scheduler posted (or one that
//   went unanswered for Config::updateTimeoutMs), retry n of
//   Config::maxRetries is due after retryWaitMs(n) (see there); it is posted
//   as a retry event with the failed answer's type. When the retries are
//   used up, the regular interval applies again (none when none is known).
//   Failures of requests others posted are recorded but change no schedule.
// - CANCELLED (someone cancelled it, a newer request replaced it or the
//   service was stopped) is not retried: the update stays owed and is
//   postponed by one retry increment, without counting as a retry.
// - WRONG_VERSION parks the version: nothing is scheduled for it until an
//   update of it (posted by anyone) announces an interval again.
// - At most one request is outstanding on the bus: nothing is posted while
//   any update, retry or pushed message is running, nor within
//   Config::startupDelayMs of the start, nor within Config::spacingMs of the
//   last answer. Of several due versions the longest overdue goes first.
// - While network access is not allowed nothing is posted; what fell due
//   meanwhile is posted once it is allowed again.
// - A due time further ahead than any rule can put it (the wall clock went
//   back) is brought back to now plus the longest such wait.
//
// Threads: one object on one thread at a time (the scheduler's main loop).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace nrsched {

struct Config {
  std::vector<std::string> versions;  // the protocol versions scheduled
  int maxRetries = 3;
  int retryWaitAlgo = 0;              // 0 constant, 1 linear, 2 exponential
  int64_t retryIncMs = 5 * 60 * 1000;
  int64_t maxRetryWaitMs = 60 * 60 * 1000;  // 0: no upper bound
  int64_t startupDelayMs = 30 * 1000;
  int64_t spacingMs = 10 * 1000;
  int64_t updateTimeoutMs = 30 * 60 * 1000;
  int64_t minIntervalMs = 60 * 1000;
  int64_t networkPollMs = 30 * 1000;
  double timeScale = 1.0;             // seconds of the bus's intervals -> ms factor
};

// The wait before retry number attempt (1 for the first retry):
//   algorithm 0: RetryIncInterval every time;
//   algorithm 1: attempt x RetryIncInterval;
//   algorithm 2: RetryIncInterval x 2^(attempt-1);
// capped at MaxRetryWaitTime when that is above 0, then shortened by up to
// a fifth: jitter01 in [0, 1) takes off jitter01 x 20 %. Any other
// algorithm value counts as 0.
int64_t retryWaitMs(const Config& config, int attempt, double jitter01);

enum class RetryState { NONE, RETRYING, EXHAUSTED, POSTPONED, PARKED };
const char* retryStateName(RetryState s);
bool parseRetryState(const std::string& text, RetryState& out);

struct VersionState {
  std::string version;
  int64_t dueMs = 0;           // 0: nothing due
  bool dueIsRetry = false;     // post a retry event rather than an update
  std::string retryType = "content";
  int64_t intervalMs = 0;      // last announced interval; 0: none known
  int lastResult = -1;         // the last update answer's code; -1: none yet
  int64_t lastUpdateMs = 0;    // when that answer arrived
  int retries = 0;             // retries used since the last success
  RetryState retryState = RetryState::NONE;
};

// A request seen on the bus (or posted by the scheduler) and not answered.
struct Pending {
  enum Kind { UPDATE, RETRY, MESSAGE };
  Kind kind = UPDATE;
  std::string version;
  std::string trigger;          // the response's trigger will match it
  std::string type = "content"; // of a retry
  int64_t sinceMs = 0;
  bool own = false;             // posted by the scheduler
  bool echoAwaited = false;     // own, and its event has not come back yet
  bool eventSeen = true;        // false: known only from a service's CurrentRequest
  bool runSeen = false;         // a service's CurrentRequest showed it running
  int64_t announcedAtMs = 0;    // a ttlupdate arrived during it...
  int64_t announcedMs = -1;     // ...with this interval (-1: none, -2: never)
};
// "update", "retry" or "message", as the state file and the bus show it.
const char* pendingKindName(Pending::Kind k);

struct State {
  std::vector<VersionState> versions;
  std::vector<Pending> pending;   // oldest first
  int64_t waitingForNetworkSinceMs = 0;
};

// What the scheduler posts. The texts are the event properties.
class Poster {
 public:
  virtual ~Poster() = default;
  virtual bool postUpdate(const std::string& version, const std::string& trigger) = 0;
  virtual bool postRetry(const std::string& version, const std::string& type, const std::string& trigger) = 0;
};

class Scheduler {
 public:
  // jitter gives uniform values in [0, 1).
  Scheduler(Config config, State state, Poster& poster, std::function<double()> jitter);

  void setConfig(const Config& config) { mConfig = config; }
  const Config& config() const { return mConfig; }
  const State& state() const { return mState; }
  // True once the state changed since the last call (then persist it).
  bool takeDirty();

  // The scheduler has just started: nothing is posted before the start-up
  // delay has passed.
  void start(int64_t nowMs);

  // A request on the bus (the scheduler's own come back this way too).
  void onRequest(Pending::Kind kind, const std::string& version, const std::string& trigger, int64_t nowMs);
  // A service's CurrentRequest shows that it has started a request (an
  // update or retry, or a pushed message): requests sent by method call are
  // seen only this way. The oldest unanswered request of the same kind
  // (update and retry alike), version and trigger that no service has been
  // seen running yet is taken to be it, whether it came as an event or was
  // posted by the scheduler; otherwise it is a request of its own. A
  // request event that comes after its CurrentRequest is not counted twice
  // either (see onRequest).
  void onRunning(bool message, const std::string& version, const std::string& trigger, int64_t nowMs);
  // A ttlupdate event: the interval, in the bus's seconds.
  void onTtlUpdate(long seconds, int64_t nowMs);
  // A response event. It answers the oldest request with its trigger and,
  // when the response names one, its version (a service that names none
  // pairs by trigger alone).
  void onResponse(int code, const std::string& trigger, const std::string& type, int64_t nowMs,
                  const std::string& version = std::string());

  // Posts what is due, at most one request. networkAllowed is asked only
  // when something is to be posted. Returns when to call again (wall-clock
  // ms; the caller also calls after every event).
  int64_t tick(int64_t nowMs, const std::function<bool()>& networkAllowed);

  // The state of one version (created when missing).
  VersionState& version(const std::string& name);

 private:
  bool scheduled(const std::string& version) const;
  void answer(const Pending& p, int code, const std::string& type, int64_t nowMs);
  void failed(VersionState& v, const Pending& p, const std::string& type, int64_t nowMs);
  void applyAnnouncement(VersionState& v, const Pending& p);
  int64_t longestWait() const;
  int64_t scaled(long seconds) const;

  Config mConfig;
  State mState;
  Poster& mPoster;
  std::function<double()> mJitter;
  int64_t mNotBeforeMs = 0;
  bool mDirty = false;
};

}  // namespace nrsched
