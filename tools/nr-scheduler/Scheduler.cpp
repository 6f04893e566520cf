#include "Scheduler.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "framework/Protocol.h"
#include "platform/Log.h"

namespace nrsched {

namespace {

// Pending::announcedMs of an announcement of "no further update" (-1 means
// nothing was announced).
constexpr int64_t kNever = -2;

const char* resultName(int code) {
  switch (code) {
    case SUCCESS: return "SUCCESS";
    case FAILED: return "FAILED";
    case CANCELLED: return "CANCELLED";
    case WRONG_VERSION: return "WRONG_VERSION";
    default: return "unknown";
  }
}

}  // namespace

int64_t retryWaitMs(const Config& config, int attempt, double jitter01) {
  const int64_t base = config.retryIncMs > 0 ? config.retryIncMs : 1;
  const int64_t n = attempt < 1 ? 1 : attempt;
  int64_t wait = base;
  if (config.retryWaitAlgo == 1) {
    wait = base > INT64_MAX / n ? INT64_MAX : base * n;
  } else if (config.retryWaitAlgo == 2) {
    const int64_t shift = std::min<int64_t>(n - 1, 62);
    wait = base > (INT64_MAX >> shift) ? INT64_MAX : base << shift;
  }
  if (config.maxRetryWaitMs > 0) wait = std::min(wait, config.maxRetryWaitMs);
  const double j = jitter01 < 0 ? 0 : (jitter01 >= 1 ? 0.999999 : jitter01);
  wait -= static_cast<int64_t>(static_cast<double>(wait) * 0.2 * j);
  return std::max<int64_t>(wait, 1);
}

const char* pendingKindName(Pending::Kind k) {
  switch (k) {
    case Pending::UPDATE: return "update";
    case Pending::RETRY: return "retry";
    case Pending::MESSAGE: return "message";
  }
  return "update";
}

const char* retryStateName(RetryState s) {
  switch (s) {
    case RetryState::NONE: return "none";
    case RetryState::RETRYING: return "retrying";
    case RetryState::EXHAUSTED: return "exhausted";
    case RetryState::POSTPONED: return "postponed";
    case RetryState::PARKED: return "parked";
  }
  return "none";
}

bool parseRetryState(const std::string& text, RetryState& out) {
  for (RetryState s : {RetryState::NONE, RetryState::RETRYING, RetryState::EXHAUSTED, RetryState::POSTPONED,
                       RetryState::PARKED}) {
    if (text == retryStateName(s)) {
      out = s;
      return true;
    }
  }
  return false;
}

Scheduler::Scheduler(Config config, State state, Poster& poster, std::function<double()> jitter)
    : mConfig(std::move(config)), mState(std::move(state)), mPoster(poster), mJitter(std::move(jitter)) {}

bool Scheduler::takeDirty() {
  bool dirty = mDirty;
  mDirty = false;
  return dirty;
}

void Scheduler::start(int64_t nowMs) {
  mNotBeforeMs = nowMs + mConfig.startupDelayMs;
  // Whatever the scheduler posted before it stopped has come back by now,
  // or never will.
  for (Pending& p : mState.pending) p.echoAwaited = false;
}

VersionState& Scheduler::version(const std::string& name) {
  for (VersionState& v : mState.versions) {
    if (v.version == name) return v;
  }
  mState.versions.push_back(VersionState());
  mState.versions.back().version = name;
  mDirty = true;
  return mState.versions.back();
}

bool Scheduler::scheduled(const std::string& name) const {
  return std::find(mConfig.versions.begin(), mConfig.versions.end(), name) != mConfig.versions.end();
}

int64_t Scheduler::scaled(long seconds) const {
  const double ms = static_cast<double>(seconds) * 1000.0 * mConfig.timeScale;
  if (ms >= static_cast<double>(INT64_MAX / 4)) return INT64_MAX / 4;
  return std::max<int64_t>(static_cast<int64_t>(std::llround(ms)), 0);
}

namespace {

// Whether p is a request of that kind, version and trigger. A service's
// CurrentRequest does not tell an update from a retry, so they count alike.
bool sameRequest(const Pending& p, bool message, const std::string& version, const std::string& trigger) {
  return (p.kind == Pending::MESSAGE) == message && p.version == version && p.trigger == trigger;
}

}  // namespace

void Scheduler::onRequest(Pending::Kind kind, const std::string& name, const std::string& trigger, int64_t nowMs) {
  for (Pending& p : mState.pending) {
    if (p.own && p.echoAwaited && p.kind == kind && p.version == name && p.trigger == trigger) {
      p.echoAwaited = false;
      return;
    }
  }
  // The service's CurrentRequest came first (the event was slow).
  for (Pending& p : mState.pending) {
    if (!p.own && !p.eventSeen && sameRequest(p, kind == Pending::MESSAGE, name, trigger)) {
      p.eventSeen = true;
      if (p.kind != Pending::MESSAGE) p.kind = kind;
      mDirty = true;
      return;
    }
  }
  Pending p;
  p.kind = kind;
  p.version = name;
  p.trigger = trigger;
  p.sinceMs = nowMs;
  mState.pending.push_back(p);
  mDirty = true;
}

void Scheduler::onRunning(bool message, const std::string& name, const std::string& trigger, int64_t nowMs) {
  for (Pending& p : mState.pending) {
    if (!p.runSeen && sameRequest(p, message, name, trigger)) {
      p.runSeen = true;
      return;
    }
  }
  Pending p;
  p.kind = message ? Pending::MESSAGE : Pending::UPDATE;
  p.version = name;
  p.trigger = trigger;
  p.sinceMs = nowMs;
  p.eventSeen = false;
  p.runSeen = true;
  mState.pending.push_back(p);
  mDirty = true;
}

void Scheduler::onTtlUpdate(long seconds, int64_t nowMs) {
  if (mState.pending.empty()) {
    QV_LOG(3, "An interval of %ld seconds was announced outside any update the scheduler knows of; ignored", seconds);
    return;
  }
  // The oldest request not yet answered is the one running.
  Pending& p = mState.pending.front();
  p.announcedAtMs = nowMs;
  p.announcedMs = seconds < 0 ? kNever : std::max(scaled(seconds), mConfig.minIntervalMs);
  mDirty = true;
}

void Scheduler::onResponse(int code, const std::string& trigger, const std::string& type, int64_t nowMs,
                           const std::string& version) {
  auto it = std::find_if(mState.pending.begin(), mState.pending.end(), [&](const Pending& p) {
    return p.trigger == trigger && (version.empty() || p.version == version);
  });
  if (it == mState.pending.end()) {
    QV_LOG(7, "A response (trigger %s, code %d) to no request the scheduler knows of; ignored", trigger.c_str(), code);
    return;
  }
  Pending p = *it;
  mState.pending.erase(it);
  mNotBeforeMs = std::max(mNotBeforeMs, nowMs + mConfig.spacingMs);
  mDirty = true;
  answer(p, code, type, nowMs);
}

void Scheduler::applyAnnouncement(VersionState& v, const Pending& p) {
  if (p.announcedMs == kNever) {
    v.intervalMs = 0;
  } else if (p.announcedMs >= 0) {
    v.intervalMs = p.announcedMs;
  }
}

void Scheduler::answer(const Pending& p, int code, const std::string& type, int64_t nowMs) {
  VersionState& v = version(p.version);
  applyAnnouncement(v, p);
  if (p.kind == Pending::MESSAGE) {
    // A pushed message may have run an update; its code says only whether
    // the message was handled.
    if (p.announcedMs >= 0) v.dueMs = p.announcedAtMs + p.announcedMs;
    return;
  }
  v.lastResult = code;
  v.lastUpdateMs = nowMs;
  QV_LOG(3, "The update of %s (trigger %s) ended with %s", p.version.c_str(), p.trigger.c_str(), resultName(code));
  switch (code) {
    case SUCCESS:
      v.retries = 0;
      v.retryState = RetryState::NONE;
      v.dueIsRetry = false;
      v.dueMs = p.announcedMs >= 0 ? p.announcedAtMs + p.announcedMs : 0;
      break;
    case CANCELLED:
      if (p.own) {
        v.retryState = RetryState::POSTPONED;
        v.dueMs = nowMs + std::max<int64_t>(mConfig.retryIncMs, 1);
      }
      break;
    case WRONG_VERSION:
      v.retries = 0;
      v.retryState = RetryState::PARKED;
      v.dueIsRetry = false;
      v.dueMs = 0;
      break;
    default:  // FAILED, and a code no engine sends
      if (p.own) failed(v, p, type, nowMs);
      break;
  }
}

void Scheduler::failed(VersionState& v, const Pending& p, const std::string& type, int64_t nowMs) {
  v.retryType = type == "data" ? "data" : "content";
  ++v.retries;
  if (v.retries <= mConfig.maxRetries) {
    v.retryState = RetryState::RETRYING;
    v.dueIsRetry = true;
    v.dueMs = nowMs + retryWaitMs(mConfig, v.retries, mJitter());
    QV_LOG(3, "Retry %d of %d of %s in %lld ms", v.retries, mConfig.maxRetries, p.version.c_str(),
           static_cast<long long>(v.dueMs - nowMs));
  } else {
    v.retryState = RetryState::EXHAUSTED;
    v.retries = 0;
    v.dueIsRetry = false;
    v.dueMs = v.intervalMs > 0 ? nowMs + v.intervalMs : 0;
    QV_LOG(3, "The retries of %s are used up; %s", p.version.c_str(),
           v.dueMs != 0 ? "the regular interval applies" : "no further update is due");
  }
}

int64_t Scheduler::longestWait() const {
  int64_t longest = std::max({mConfig.retryIncMs, mConfig.minIntervalMs, mConfig.startupDelayMs,
                              retryWaitMs(mConfig, std::max(mConfig.maxRetries, 1), 0)});
  for (const VersionState& v : mState.versions) longest = std::max(longest, v.intervalMs);
  return longest;
}

int64_t Scheduler::tick(int64_t nowMs, const std::function<bool()>& networkAllowed) {
  // Requests that were never answered (the service went away, or a newer
  // request pushed them out before they ran).
  for (auto it = mState.pending.begin(); it != mState.pending.end();) {
    if (nowMs - it->sinceMs < mConfig.updateTimeoutMs) {
      ++it;
      continue;
    }
    Pending p = *it;
    it = mState.pending.erase(it);
    mDirty = true;
    QV_LOG(3, "No answer to the %s request of %s (trigger %s) came in time", p.kind == Pending::MESSAGE ? "message" : "update",
           p.version.c_str(), p.trigger.c_str());
    if (p.own) failed(version(p.version), p, p.type, nowMs);
  }
  if (!mState.pending.empty()) {
    int64_t next = INT64_MAX;
    for (const Pending& p : mState.pending) next = std::min(next, p.sinceMs + mConfig.updateTimeoutMs);
    return next;
  }

  const int64_t limit = nowMs + longestWait();
  VersionState* due = nullptr;
  int64_t nextDue = -1;
  for (VersionState& v : mState.versions) {
    if (v.dueMs > limit) {
      QV_LOG(3, "The next update of %s was further ahead than any interval; the clock must have gone back",
             v.version.c_str());
      v.dueMs = limit;
      mDirty = true;
    }
    if (v.dueMs <= 0 || !scheduled(v.version)) continue;
    if (v.dueMs <= nowMs) {
      if (due == nullptr || v.dueMs < due->dueMs) due = &v;
    } else if (nextDue < 0 || v.dueMs < nextDue) {
      nextDue = v.dueMs;
    }
  }
  if (due == nullptr) {
    if (mState.waitingForNetworkSinceMs != 0) {
      mState.waitingForNetworkSinceMs = 0;
      mDirty = true;
    }
    return nextDue;
  }
  if (nowMs < mNotBeforeMs) return mNotBeforeMs;
  if (!networkAllowed()) {
    if (mState.waitingForNetworkSinceMs == 0) {
      QV_LOG(3, "The update of %s is due, but network access is not allowed; waiting", due->version.c_str());
      mState.waitingForNetworkSinceMs = nowMs;
      mDirty = true;
    }
    return nowMs + mConfig.networkPollMs;
  }
  if (mState.waitingForNetworkSinceMs != 0) {
    mState.waitingForNetworkSinceMs = 0;
    mDirty = true;
  }

  Pending p;
  p.kind = due->dueIsRetry ? Pending::RETRY : Pending::UPDATE;
  p.version = due->version;
  p.trigger = "ttl";
  p.type = due->retryType;
  p.sinceMs = nowMs;
  p.own = true;
  p.echoAwaited = true;
  QV_LOG(3, "Posting the %s of %s", due->dueIsRetry ? "retry" : "update", due->version.c_str());
  const bool posted = due->dueIsRetry ? mPoster.postRetry(p.version, p.type, p.trigger)
                                      : mPoster.postUpdate(p.version, p.trigger);
  if (!posted) {
    // The bus is away; the update stays due.
    mNotBeforeMs = nowMs + mConfig.networkPollMs;
    return mNotBeforeMs;
  }
  due->dueMs = 0;
  mState.pending.push_back(p);
  mDirty = true;
  return nowMs + mConfig.updateTimeoutMs;
}

}  // namespace nrsched
