// The scheduler's decisions on a test clock: due times from announced
// intervals, retries and their backoff, answers that are not retried, one
// request at a time, network access, start-up and restarts.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "RecordingFacade.h"
#include "Scheduler.h"
#include "StateFile.h"
#include "framework/Protocol.h"

namespace {

using nrsched::Config;
using nrsched::Pending;
using nrsched::RetryState;
using nrsched::Scheduler;
using nrsched::State;

constexpr int64_t kSecond = 1000;

struct Post {
  std::string kind, version, type, trigger;
  int64_t at;
  bool operator==(const Post& o) const {
    return kind == o.kind && version == o.version && type == o.type && trigger == o.trigger && at == o.at;
  }
};

std::ostream& operator<<(std::ostream& out, const Post& p) {
  return out << p.kind << " " << p.version << " " << p.type << " " << p.trigger << " @" << p.at;
}

class RecordingPoster : public nrsched::Poster {
 public:
  bool postUpdate(const std::string& version, const std::string& trigger) override {
    posts.push_back({"update", version, "", trigger, now});
    return ok;
  }
  bool postRetry(const std::string& version, const std::string& type, const std::string& trigger) override {
    posts.push_back({"retry", version, type, trigger, now});
    return ok;
  }
  std::vector<Post> posts;
  int64_t now = 0;
  bool ok = true;
};

Config testConfig() {
  Config c;
  c.versions = {"flp20", "flp1x"};
  c.maxRetries = 2;
  c.retryWaitAlgo = 0;
  c.retryIncMs = 60 * kSecond;
  c.maxRetryWaitMs = 0;
  c.startupDelayMs = 5 * kSecond;
  c.spacingMs = 2 * kSecond;
  c.updateTimeoutMs = 600 * kSecond;
  c.minIntervalMs = 30 * kSecond;
  c.networkPollMs = 10 * kSecond;
  c.timeScale = 1.0;
  return c;
}

class SchedulerTest : public ::testing::Test {
 protected:
  void make(State state = State(), Config config = testConfig()) {
    core = std::make_unique<Scheduler>(config, state, poster, [this] { return jitter; });
    core->start(now);
  }
  // Runs the scheduler's clock from now to until, calling tick whenever it
  // asked to be called (and at until), as the daemon's loop does.
  void runUntil(int64_t until) {
    while (now <= until) {
      poster.now = now;
      int64_t next = core->tick(now, [this] { return network; });
      if (next < 0 || next > until) break;
      now = next > now ? next : now + 1;
    }
    now = until;
    poster.now = now;
    core->tick(now, [this] { return network; });
  }
  // A whole update somebody else ran: request, announcement, answer.
  void manualUpdate(const std::string& version, long ttlSeconds, int code) {
    core->onRequest(Pending::UPDATE, version, "man", now);
    if (ttlSeconds != 0) core->onTtlUpdate(ttlSeconds, now);
    core->onResponse(code, "man", "content", now);
  }
  // The scheduler's own last post comes back over the bus.
  void echoOwn() {
    ASSERT_FALSE(poster.posts.empty());
    const Post& p = poster.posts.back();
    core->onRequest(p.kind == "retry" ? Pending::RETRY : Pending::UPDATE, p.version, p.trigger, now);
  }
  // The engine's side of the scheduler's own last post: its event comes
  // back, then (optionally) an announcement and the answer.
  void answerOwn(int code, long ttlSeconds = 0, const std::string& type = "content") {
    echoOwn();
    if (ttlSeconds != 0) core->onTtlUpdate(ttlSeconds, now);
    core->onResponse(code, "ttl", type, now);
  }
  const nrsched::VersionState& v(const std::string& name) { return core->version(name); }

  RecordingPoster poster;
  std::unique_ptr<Scheduler> core;
  int64_t now = 0;
  bool network = true;
  double jitter = 0.0;
};

TEST(RetryWait, AlgorithmsCapAndJitter) {
  struct Case {
    int algo;
    int64_t cap;
    double jitter;
    std::vector<int64_t> waits;  // for attempts 1, 2, 3, 4
  };
  const Case cases[] = {
      {0, 0, 0.0, {60, 60, 60, 60}},
      {1, 0, 0.0, {60, 120, 180, 240}},
      {2, 0, 0.0, {60, 120, 240, 480}},
      {2, 200, 0.0, {60, 120, 200, 200}},
      {7, 0, 0.0, {60, 60, 60, 60}},          // unknown algorithm: constant
      {1, 0, 0.5, {54, 108, 162, 216}},       // a tenth off at the middle of the jitter range
      {0, 0, 0.9999999, {48, 48, 48, 48}},    // never more than a fifth off
  };
  for (const Case& c : cases) {
    Config config = testConfig();
    config.retryWaitAlgo = c.algo;
    config.retryIncMs = 60 * kSecond;
    config.maxRetryWaitMs = c.cap * kSecond;
    for (int attempt = 1; attempt <= 4; ++attempt) {
      int64_t got = nrsched::retryWaitMs(config, attempt, c.jitter);
      EXPECT_NEAR(c.waits[attempt - 1] * kSecond, got, 1)
          << "algo " << c.algo << " cap " << c.cap << " jitter " << c.jitter << " attempt " << attempt;
    }
  }
  Config huge = testConfig();
  huge.retryWaitAlgo = 2;
  EXPECT_GT(nrsched::retryWaitMs(huge, 200, 0.0), 0);  // no overflow
}

TEST_F(SchedulerTest, AnnouncedIntervalMakesTheTtlUpdateDueOnceAndNoSooner) {
  make();
  now = 10 * kSecond;
  manualUpdate("flp20", 100, SUCCESS);
  runUntil(now + 100 * kSecond - 1);
  EXPECT_TRUE(poster.posts.empty());
  runUntil(110 * kSecond);
  ASSERT_EQ(1u, poster.posts.size());
  EXPECT_EQ((Post{"update", "flp20", "", "ttl", 110 * kSecond}), poster.posts[0]);
  // Its own event coming back is not a second request, and nothing more is
  // posted while it runs, however long.
  echoOwn();
  runUntil(500 * kSecond);
  EXPECT_EQ(1u, poster.posts.size());
}

TEST_F(SchedulerTest, SuccessWithoutAnnouncementSchedulesNothingAndShortIntervalsAreRaised) {
  make();
  manualUpdate("flp20", 0, SUCCESS);
  runUntil(10000 * kSecond);
  EXPECT_TRUE(poster.posts.empty());
  EXPECT_EQ(0, v("flp20").dueMs);

  manualUpdate("flp20", 1, SUCCESS);  // raised to the shortest interval
  EXPECT_EQ(now + 30 * kSecond, v("flp20").dueMs);
  manualUpdate("flp20", -1, SUCCESS);  // never
  EXPECT_EQ(0, v("flp20").dueMs);
}

TEST_F(SchedulerTest, FailuresAreRetriedWithBackoffThenTheIntervalApplies) {
  Config config = testConfig();
  config.retryWaitAlgo = 1;
  make(State(), config);
  manualUpdate("flp20", 1000, SUCCESS);
  runUntil(1000 * kSecond);
  ASSERT_EQ(1u, poster.posts.size());

  // The content was stored, the assets failed: the retry asks for data.
  answerOwn(FAILED, 1000, "data");
  EXPECT_EQ(RetryState::RETRYING, v("flp20").retryState);
  runUntil(now + 60 * kSecond);
  ASSERT_EQ(2u, poster.posts.size());
  EXPECT_EQ((Post{"retry", "flp20", "data", "ttl", 1060 * kSecond}), poster.posts[1])
      << "the first retry waits one increment";

  answerOwn(FAILED, 0, "data");
  runUntil(now + 119 * kSecond);
  EXPECT_EQ(2u, poster.posts.size()) << "the second retry waits two increments";
  runUntil(now + 1 * kSecond);
  ASSERT_EQ(3u, poster.posts.size());
  EXPECT_EQ("retry", poster.posts[2].kind);

  // The retries are used up: the announced interval applies again, with an
  // update, and the retries start over after it.
  answerOwn(FAILED);
  EXPECT_EQ(RetryState::EXHAUSTED, v("flp20").retryState);
  EXPECT_EQ(now + 1000 * kSecond, v("flp20").dueMs);
  runUntil(now + 1000 * kSecond);
  ASSERT_EQ(4u, poster.posts.size());
  EXPECT_EQ("update", poster.posts[3].kind);
  answerOwn(SUCCESS, 500);
  EXPECT_EQ(RetryState::NONE, v("flp20").retryState);
  EXPECT_EQ(0, v("flp20").retries);
  EXPECT_EQ(now + 500 * kSecond, v("flp20").dueMs);
}

TEST_F(SchedulerTest, CancelledAndWrongVersionAreNotRetried) {
  make();
  manualUpdate("flp20", 100, SUCCESS);
  runUntil(100 * kSecond);
  ASSERT_EQ(1u, poster.posts.size());

  // Cancelled: still owed, but only after one retry increment, and not as
  // a counted retry.
  answerOwn(CANCELLED);
  EXPECT_EQ(RetryState::POSTPONED, v("flp20").retryState);
  EXPECT_EQ(0, v("flp20").retries);
  runUntil(now + 59 * kSecond);
  EXPECT_EQ(1u, poster.posts.size());
  runUntil(now + 1 * kSecond);
  ASSERT_EQ(2u, poster.posts.size());
  EXPECT_EQ("update", poster.posts[1].kind);

  // Wrong version: parked, whatever time passes...
  answerOwn(WRONG_VERSION);
  runUntil(now + 100000 * kSecond);
  EXPECT_EQ(2u, poster.posts.size());
  EXPECT_EQ(RetryState::PARKED, v("flp20").retryState);
  // ...until an update of that version announces an interval again.
  manualUpdate("flp20", 100, SUCCESS);
  runUntil(now + 100 * kSecond);
  EXPECT_EQ(3u, poster.posts.size());
}

TEST_F(SchedulerTest, FailuresOfOthersRequestsAreRecordedButNotRetried) {
  make();
  now = 50 * kSecond;
  manualUpdate("flp20", 0, FAILED);
  EXPECT_EQ(FAILED, v("flp20").lastResult);
  EXPECT_EQ(50 * kSecond, v("flp20").lastUpdateMs);
  runUntil(10000 * kSecond);
  EXPECT_TRUE(poster.posts.empty());
}

// Two services run updates with the same trigger at once; each answer names
// its version and settles that version's request, whichever came first.
TEST_F(SchedulerTest, AnswersArePairedByVersion) {
  make();
  core->onRequest(Pending::UPDATE, "flp20", "man", now);
  core->onRequest(Pending::UPDATE, "flp1x", "man", now);
  core->onResponse(FAILED, "man", "content", now, "flp1x");
  EXPECT_EQ(FAILED, v("flp1x").lastResult);
  EXPECT_EQ(-1, v("flp20").lastResult);
  core->onResponse(SUCCESS, "man", "content", now, "flp20");
  EXPECT_EQ(SUCCESS, v("flp20").lastResult);
  EXPECT_EQ(FAILED, v("flp1x").lastResult);
  // An answer that names no version still pairs by trigger.
  core->onRequest(Pending::UPDATE, "flp20", "sim", now);
  core->onResponse(CANCELLED, "sim", "content", now);
  EXPECT_EQ(CANCELLED, v("flp20").lastResult);
}

TEST_F(SchedulerTest, NothingIsPostedWhileAnyRequestRuns) {
  make();
  manualUpdate("flp20", 100, SUCCESS);
  manualUpdate("flp1x", 100, SUCCESS);
  // A pushed message to another service is running when both fall due.
  core->onRequest(Pending::MESSAGE, "flp1x", "push_message", now);
  runUntil(300 * kSecond);
  EXPECT_TRUE(poster.posts.empty());
  core->onResponse(SUCCESS, "push_message", "push_message", now);
  runUntil(now + 2 * kSecond);
  ASSERT_EQ(1u, poster.posts.size()) << "one at a time, after the spacing";
  runUntil(now + 100 * kSecond);
  EXPECT_EQ(1u, poster.posts.size());
  answerOwn(SUCCESS, 100);
  runUntil(now + 2 * kSecond);
  ASSERT_EQ(2u, poster.posts.size());
  EXPECT_NE(poster.posts[0].version, poster.posts[1].version);
}

// A manual update sent to the service by method call passes on the bus as
// no event: its CurrentRequest shows it. It keeps the scheduler from
// posting (a new request would cancel it), and its announcement and answer
// count as those of an update seen as an event.
TEST_F(SchedulerTest, AnUpdateSeenOnlyRunningBlocksPostsAndItsAnswerCounts) {
  make();
  manualUpdate("flp20", 100, SUCCESS);
  now = 90 * kSecond;
  core->onRunning(false, "flp20", "man", now);
  runUntil(300 * kSecond);
  EXPECT_TRUE(poster.posts.empty()) << "posted over a running update";
  core->onTtlUpdate(500, now);
  core->onResponse(SUCCESS, "man", "content", now, "flp20");
  EXPECT_TRUE(core->state().pending.empty());
  EXPECT_EQ(SUCCESS, v("flp20").lastResult);
  EXPECT_EQ(300 * kSecond, v("flp20").lastUpdateMs);
  EXPECT_EQ(800 * kSecond, v("flp20").dueMs);
}

// However a request is seen (as an event, as a service's CurrentRequest,
// or as the scheduler's own post and its echo) and in whichever order, it
// is one request: its answer leaves nothing running, so the next due
// update is posted.
TEST_F(SchedulerTest, ARequestSeenInSeveralWaysCountsOnce) {
  struct Case {
    const char* name;
    std::vector<std::string> steps;  // event, running, message-event, message-running, post, echo
    const char* trigger;             // of the answer
    std::vector<std::string> answers;  // one answer per request, oldest first ("" for the code SUCCESS)
  };
  const Case cases[] = {
      {"method call only", {"running"}, "man", {""}},
      {"event, then running", {"event", "running"}, "man", {""}},
      {"running, then the late event", {"running", "event"}, "man", {""}},
      {"pushed message both ways", {"message-event", "message-running"}, "push_message", {""}},
      {"pushed message, running first", {"message-running", "message-event"}, "push_message", {""}},
      {"own post, echo first", {"post", "echo", "running"}, "ttl", {""}},
      {"own post, running first", {"post", "running", "echo"}, "ttl", {""}},
      // A second method call replaces the first: two requests, two answers.
      {"one method call replacing another", {"running", "running"}, "man", {"cancelled", ""}},
      {"a method call replacing an event's", {"event", "running", "running"}, "man", {"cancelled", ""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    poster.posts.clear();
    now = 0;
    make();
    if (std::string(c.trigger) == "ttl") {
      manualUpdate("flp20", 100, SUCCESS);
    }
    for (const std::string& step : c.steps) {
      if (step == "event") core->onRequest(Pending::UPDATE, "flp20", c.trigger, now);
      if (step == "running") core->onRunning(false, "flp20", c.trigger, now);
      if (step == "message-event") core->onRequest(Pending::MESSAGE, "flp20", c.trigger, now);
      if (step == "message-running") core->onRunning(true, "flp20", c.trigger, now);
      if (step == "post") {
        runUntil(100 * kSecond);
        ASSERT_EQ(1u, poster.posts.size());
      }
      if (step == "echo") echoOwn();
    }
    ASSERT_EQ(c.answers.size(), core->state().pending.size());
    for (const std::string& answer : c.answers) {
      core->onResponse(answer.empty() ? SUCCESS : CANCELLED, c.trigger, c.trigger, now, "flp20");
    }
    EXPECT_TRUE(core->state().pending.empty());
    // Nothing is left to wait for: an update that falls due is posted.
    const size_t before = poster.posts.size();
    core->onRequest(Pending::UPDATE, "flp20", "sim", now);
    core->onTtlUpdate(100, now);
    core->onResponse(SUCCESS, "sim", "content", now, "flp20");
    runUntil(now + 100 * kSecond);
    EXPECT_EQ(before + 1, poster.posts.size());
  }
}

TEST_F(SchedulerTest, WaitsForNetworkAccessAndCatchesUp) {
  make();
  manualUpdate("flp20", 100, SUCCESS);
  network = false;
  runUntil(1000 * kSecond);
  EXPECT_TRUE(poster.posts.empty());
  EXPECT_EQ(100 * kSecond, core->state().waitingForNetworkSinceMs);
  network = true;
  runUntil(now + 10 * kSecond);
  ASSERT_EQ(1u, poster.posts.size());
  EXPECT_EQ(0, core->state().waitingForNetworkSinceMs);
}

TEST_F(SchedulerTest, UnansweredUpdateCountsAsFailedAndAFailedPostStaysDue) {
  make();
  manualUpdate("flp20", 100, SUCCESS);
  poster.ok = false;  // the bus is away
  runUntil(100 * kSecond);
  ASSERT_EQ(1u, poster.posts.size());
  EXPECT_EQ(100 * kSecond, v("flp20").dueMs);
  poster.ok = true;
  runUntil(now + 10 * kSecond);
  ASSERT_EQ(2u, poster.posts.size());
  // No answer within the time-out: a retry.
  runUntil(now + 600 * kSecond);
  EXPECT_EQ(RetryState::RETRYING, v("flp20").retryState);
  runUntil(now + 60 * kSecond);
  ASSERT_EQ(3u, poster.posts.size());
  EXPECT_EQ("retry", poster.posts[2].kind);
}

TEST_F(SchedulerTest, OverdueAtStartWaitsForTheStartupDelayAndGoesOneByOne) {
  State state;
  for (const char* name : {"flp1x", "flp20"}) {
    nrsched::VersionState s;
    s.version = name;
    s.dueMs = std::string(name) == "flp20" ? 500 * kSecond : 600 * kSecond;  // flp20 is the older
    s.intervalMs = 1000 * kSecond;
    state.versions.push_back(s);
  }
  now = 1000 * kSecond;
  make(state);
  runUntil(1005 * kSecond - 1);
  EXPECT_TRUE(poster.posts.empty());
  runUntil(1005 * kSecond);
  ASSERT_EQ(1u, poster.posts.size());
  EXPECT_EQ("flp20", poster.posts[0].version);
  answerOwn(SUCCESS, 1000);
  runUntil(now + 2 * kSecond);
  ASSERT_EQ(2u, poster.posts.size());
  EXPECT_EQ("flp1x", poster.posts[1].version);
}

TEST_F(SchedulerTest, OnlyConfiguredVersionsAreScheduledAndClockJumpsAreBounded) {
  Config config = testConfig();
  config.versions = {"flp1x"};
  State state;
  nrsched::VersionState far;
  far.version = "flp1x";
  far.dueMs = 1000000 * kSecond;  // the clock went back
  far.intervalMs = 100 * kSecond;
  state.versions.push_back(far);
  make(state, config);
  manualUpdate("flp20", 10, SUCCESS);
  runUntil(150 * kSecond);
  ASSERT_EQ(1u, poster.posts.size());
  EXPECT_EQ("flp1x", poster.posts[0].version);
}

TEST_F(SchedulerTest, RestartKeepsDueTimesAndARunningUpdate) {
  make();
  manualUpdate("flp20", 100, SUCCESS);
  manualUpdate("flp1x", 150, SUCCESS);
  runUntil(100 * kSecond);
  ASSERT_EQ(1u, poster.posts.size());
  echoOwn();

  // Restart while the own update runs: the text form is all that survives.
  State reloaded;
  ASSERT_EQ(0, nrsched::parseState(nrsched::formatState(core->state()), reloaded));
  poster.posts.clear();
  core = std::make_unique<Scheduler>(testConfig(), reloaded, poster, [] { return 0.0; });
  core->start(now);
  runUntil(now + 500 * kSecond);
  EXPECT_TRUE(poster.posts.empty()) << "the update from before the restart still runs";
  core->onResponse(SUCCESS, "ttl", "content", now);  // its answer, after the restart
  runUntil(now + 2 * kSecond);
  ASSERT_EQ(1u, poster.posts.size());
  EXPECT_EQ("flp1x", poster.posts[0].version) << "overdue since before the restart, posted once";
}

TEST(StateFile, TextFormRoundTripsAndSkipsDamagedLines) {
  State s;
  nrsched::VersionState v;
  v.version = "odd version=%\n";
  v.dueMs = 1796900680123;
  v.dueIsRetry = true;
  v.retryType = "data";
  v.intervalMs = 3600000;
  v.lastResult = FAILED;
  v.lastUpdateMs = 1796900000000;
  v.retries = 2;
  v.retryState = RetryState::RETRYING;
  s.versions.push_back(v);
  Pending p;
  p.kind = Pending::MESSAGE;
  p.version = "flp20";
  p.trigger = "";
  p.sinceMs = 5;
  p.own = true;
  p.echoAwaited = true;
  p.announcedAtMs = 7;
  p.announcedMs = -2;
  s.pending.push_back(p);
  s.waitingForNetworkSinceMs = 99;

  const std::string text = nrsched::formatState(s);
  State back;
  ASSERT_EQ(0, nrsched::parseState(text, back));
  EXPECT_EQ(nrsched::formatState(back), text);
  ASSERT_EQ(1u, back.versions.size());
  EXPECT_EQ(v.version, back.versions[0].version);
  ASSERT_EQ(1u, back.pending.size());
  EXPECT_EQ("", back.pending[0].trigger);

  // Damaged lines are skipped one by one; the rest survives.
  const std::string damaged = text + "version flp1x due=12x\nversion\npending update a\nversion flp1x due=5\n";
  State partial;
  EXPECT_EQ(3, nrsched::parseState(damaged, partial));
  ASSERT_EQ(2u, partial.versions.size());
  EXPECT_EQ(5, partial.versions[1].dueMs);
}

// A state file damaged as a whole (overwritten with other bytes, cut in the
// middle of a line) is read for what it still holds, logs a bounded amount,
// and is replaced whole at the next save.
TEST(StateFile, ADamagedWholeIsSurvived) {
  State s;
  nrsched::VersionState v;
  v.version = "flp20";
  v.dueMs = 1796900680123;
  s.versions.push_back(v);
  const std::string good = nrsched::formatState(s);

  std::string binary;
  unsigned seed = 7;
  for (int i = 0; i < (1 << 20); ++i) {
    seed = seed * 1103515245u + 12345u;
    binary.push_back(static_cast<char>(seed >> 16));
  }
  struct Case {
    const char* name;
    std::string bytes;
    int versionsLeft;  // -1: whatever the cut leaves readable
  };
  const Case cases[] = {
      {"binary", binary, 0},
      {"one endless line", std::string(2 << 20, 'v'), 0},
      {"cut mid-line", good.substr(0, good.size() - 10), -1},
      {"a good line, then garbage", good + binary, 1},
  };
  char pattern[] = "/tmp/qv-state-test-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(pattern));
  const std::string path = std::string(pattern) + "/scheduler.state";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out.write(c.bytes.data(), static_cast<std::streamsize>(c.bytes.size()));
    }
    LogCapture log;
    State loaded;
    std::string error;
    EXPECT_TRUE(nrsched::loadState(path, loaded, error)) << error;
    if (c.versionsLeft >= 0) {
      EXPECT_EQ(static_cast<size_t>(c.versionsLeft), loaded.versions.size());
    }
    EXPECT_LT(log.text().size(), 16u * 1024u);
    ASSERT_TRUE(nrsched::saveState(path, s, error)) << error;
    State again;
    ASSERT_TRUE(nrsched::loadState(path, again, error)) << error;
    EXPECT_EQ(good, nrsched::formatState(again));
  }
  std::error_code ignored;
  std::filesystem::remove_all(pattern, ignored);
}

}  // namespace
