// The real nr-scheduler beside the real flp2svc over a private bus, against
// nr-testserver: requests sent to the service by method call (as nrctl
// sends them when the service's name is on the bus) pass on the bus as no
// event; the scheduler must still see them running and learn from them.
#include <gtest/gtest.h>

#include <time.h>

#include <chrono>
#include <functional>
#include <thread>

#include "../integration/Flp2SessionHarness.h"
#include "../system/NotifySocket.h"
#include "StateFile.h"

namespace {

const std::string kScheduler = std::string(QV_BINARY_DIR) + "/tools/nr-scheduler/nr-scheduler";

int64_t wallMillis() {
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

class SchedulerServiceTest : public flp2it::Flp2Daemon {
 protected:
  void TearDown() override {
    if (scheduler) {
      scheduler->signal(SIGTERM);
      EXPECT_EQ(0, scheduler->wait(20000));
      if (HasFailure()) std::fprintf(stderr, "--- nr-scheduler output ---\n%s%s\n", scheduler->out().c_str(),
                                     scheduler->err().c_str());
      scheduler.reset();
    }
    flp2it::Flp2Daemon::TearDown();
  }

  // Starts nr-scheduler with a saved state in which flp20 falls due at dueMs.
  void startScheduler(int64_t dueMs) {
    nrsched::State state;
    nrsched::VersionState v;
    v.version = "flp20";
    v.dueMs = dueMs;
    v.intervalMs = 60000;  // so that the due time is believed
    state.versions.push_back(v);
    // The slow update must not be given up as unanswered while it runs.
    ASSERT_EQ(0, settings().setInt(6, "Scheduler.UpdateTimeout", 100000));
    std::string error;
    ASSERT_TRUE(nrsched::saveState(home + "/scheduler.state", state, error)) << error;
    notify = std::make_unique<qvtest::NotifySocket>(dir + "/notify");
    ASSERT_TRUE(notify->ok());
    auto vars = env();
    vars["NOTIFY_SOCKET"] = notify->path();
    scheduler = std::make_unique<qvtest::Process>(kScheduler, std::vector<std::string>{}, dir, vars);
    ASSERT_TRUE(notify->waitFor("READY=1")) << scheduler->out() << scheduler->err();
  }

  nrsched::State savedState() {
    nrsched::State s;
    std::string error;
    EXPECT_TRUE(nrsched::loadState(home + "/scheduler.state", s, error)) << error;
    return s;
  }
  bool waitForState(const std::function<bool(const nrsched::State&)>& done, long timeoutMillis = 20000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMillis);
    while (std::chrono::steady_clock::now() < deadline) {
      if (done(savedState())) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  std::unique_ptr<qvtest::NotifySocket> notify;
  std::unique_ptr<qvtest::Process> scheduler;
};

// A slow manual update by method call while the scheduler's own update of
// the same version falls due: the scheduler waits for it rather than
// posting over it (a new request would cancel it), and takes its
// announced interval and its answer.
TEST_F(SchedulerServiceTest, AManualUpdateByMethodCallIsNotCancelledAndItsAnswerCounts) {
  useSamples();
  // The update runs for 6 s; the scheduler's falls due 3 s after it starts,
  // while the manual one runs.
  setRules("[kind content-update]\ndelay 6000\n");
  start();
  startScheduler(wallMillis() + 3000);

  qvtest::Process manual(flp2it::kNrctl, {"update", "flp20", "--trigger", "man", "--wait", "--timeout", "60"}, dir,
                         env());
  EXPECT_EQ(0, manual.wait(60000)) << manual.out() << manual.err();
  const int64_t answeredBy = wallMillis();
  EXPECT_NE(std::string::npos, manual.out().find("response: 0 success")) << manual.out();
  EXPECT_FALSE(recorder
                   .waitFor(PROTOCOL_TOPIC_UPDATE, 0,
                            [](const ES_EventRecord& e) { return flp2it::prop(e, "trigger") == "ttl"; })
                   .has_value())
      << "the scheduler posted while the manual update ran";
  auto answer = recorder.waitFor(PROTOCOL_TOPIC_RESPONSE, 20000);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ("man", flp2it::prop(*answer, "trigger"));
  EXPECT_EQ("0", flp2it::value(*answer));

  // The answer recorded is the manual update's (no later one has come
  // yet), with the interval its content announced (update-ttl="3600": 3.6 s
  // on the test scale).
  EXPECT_TRUE(waitForState([answeredBy](const nrsched::State& s) {
    return s.pending.empty() && s.versions.size() == 1 && s.versions[0].lastResult == SUCCESS &&
           s.versions[0].lastUpdateMs > 0 && s.versions[0].lastUpdateMs <= answeredBy &&
           s.versions[0].intervalMs == 3600;
  })) << nrsched::formatState(savedState());
}

}  // namespace
