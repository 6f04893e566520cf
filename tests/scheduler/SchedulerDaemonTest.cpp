// The real nr-scheduler over a private bus; the test plays the engines
// (it answers the scheduler's requests with ttlupdate and response events).
// Intervals run on the sleep scale: one announced second is a millisecond.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "../system/NotifySocket.h"
#include "PrivateBus.h"
#include "Process.h"
#include "StateFile.h"
#include "framework/Protocol.h"
#include "platform/Facade.h"
#include "platform/QV_Event.h"
#include "platform/Settings.h"

namespace {

const std::string kScheduler = std::string(QV_BINARY_DIR) + "/tools/nr-scheduler/nr-scheduler";
const std::string kNrctl = std::string(QV_BINARY_DIR) + "/tools/nrctl";
constexpr double kScale = 0.001;

using Clock = std::chrono::steady_clock;

std::string prop(const ES_EventRecord& e, const std::string& key) {
  auto it = e.properties.find(key);
  return it == e.properties.end() ? std::string("<none>") : it->second;
}

bool byScheduler(const ES_EventRecord& e) { return prop(e, "trigger") == "ttl"; }

long millisSince(Clock::time_point t) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

class SchedulerDaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus.ok()) << bus.error();
    ASSERT_TRUE(recorder.ok()) << recorder.error();
    dir = qvtest::makeTempDir("qvsched");
    ASSERT_FALSE(dir.empty());
    home = dir + "/home";
    setenv("QUORVEL_HOME", home.c_str(), 1);
    QuorvelSettingMgr::resetForTesting();
    ASSERT_NE(nullptr, QuorvelSettingMgr::getSettingMgrInstance());
  }
  void TearDown() override {
    scheduler.reset();
    QuorvelSettingMgr::resetForTesting();
    unsetenv("QUORVEL_HOME");
    qvtest::removeTree(dir);
  }

  void startScheduler() {
    notify = std::make_unique<qvtest::NotifySocket>(dir + "/notify" + std::to_string(++starts));
    ASSERT_TRUE(notify->ok());
    scheduler = std::make_unique<qvtest::Process>(
        kScheduler, std::vector<std::string>{}, dir,
        std::map<std::string, std::string>{{"QUORVEL_HOME", home},
                                           {"QUORVEL_BUS_ADDRESS", bus.address()},
                                           {"QUORVEL_SLEEP_SCALE", std::to_string(kScale)},
                                           {"NOTIFY_SOCKET", notify->path()}});
    ASSERT_TRUE(notify->waitFor("READY=1")) << scheduler->out() << scheduler->err();
  }

  static void publish(const char* topic, int value, const std::map<std::string, std::string>& props) {
    QV_Event e(topic, value);
    if (!props.empty()) e.mProperties = PtrRef<QV_PropertyMap>(new QV_PropertyMap(props.begin(), props.end()));
    ASSERT_EQ(0, QV_EventAndStatusFacade::instance()->publishEvent(e, nullptr));
  }
  // What an engine sends while and after it runs an update.
  static void engineAnswers(int code, const std::string& trigger, const std::string& type, int ttlSeconds = 0) {
    if (ttlSeconds != 0) publish(PROTOCOL_TOPIC_TTLUPDATE, ttlSeconds, {});
    publish(PROTOCOL_TOPIC_RESPONSE, code, {{"trigger", trigger}, {"type", type}});
  }
  // A manual update somebody ran, as the scheduler sees it on the bus.
  static void manualUpdate(int ttlSeconds) {
    publish(PROTOCOL_TOPIC_UPDATE, 0, {{"protocolversion", "flp20"}, {"trigger", "man"}});
    engineAnswers(SUCCESS, "man", "content", ttlSeconds);
  }

  std::optional<ES_EventRecord> nextPost(long timeoutMillis = 10000) {
    auto update = recorder.waitFor(PROTOCOL_TOPIC_UPDATE, timeoutMillis, byScheduler);
    return update;
  }

  nrsched::State savedState() {
    nrsched::State s;
    std::string error;
    EXPECT_TRUE(nrsched::loadState(home + "/scheduler.state", s, error)) << error;
    return s;
  }
  // Waits until the saved state satisfies done.
  bool waitForState(const std::function<bool(const nrsched::State&)>& done, long timeoutMillis = 10000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMillis);
    while (Clock::now() < deadline) {
      if (done(savedState())) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  std::string status() {
    qvtest::Process p(kNrctl, {"status", "--json"}, dir, {{"QUORVEL_HOME", home}});
    EXPECT_EQ(0, p.wait(10000)) << p.err();
    return p.out();
  }

  qvtest::PrivateBus bus;
  qvtest::EventRecorder recorder{"/kestrova/quorvel/newsreader/protocol"};
  std::string dir;
  std::string home;
  std::unique_ptr<qvtest::NotifySocket> notify;
  std::unique_ptr<qvtest::Process> scheduler;
  int starts = 0;
};

TEST_F(SchedulerDaemonTest, PostsWhenTheIntervalPassesAndRetriesAfterAFailure) {
  startScheduler();
  const auto announced = Clock::now();
  manualUpdate(500);  // due 0.5 s from now on the test scale
  auto update = nextPost();
  ASSERT_TRUE(update.has_value()) << scheduler->out();
  EXPECT_GE(millisSince(announced), 500) << "never before the announced interval";
  EXPECT_EQ("flp20", prop(*update, "protocolversion"));

  // The assets failed: a retry of the data phase after the default
  // increment of 5 minutes, less at most a fifth of jitter.
  const auto failedAt = Clock::now();
  engineAnswers(FAILED, "ttl", "data");
  auto retry = recorder.waitFor(PROTOCOL_TOPIC_RETRY, 10000, byScheduler);
  ASSERT_TRUE(retry.has_value()) << scheduler->out();
  EXPECT_GE(millisSince(failedAt), 240);
  EXPECT_EQ("data", prop(*retry, "type"));
  EXPECT_EQ("flp20", prop(*retry, "protocolversion"));

  engineAnswers(SUCCESS, "ttl", "data", 3600);
  ASSERT_TRUE(waitForState([](const nrsched::State& s) {
    return s.pending.empty() && !s.versions.empty() && s.versions[0].lastResult == SUCCESS;
  })) << scheduler->out();
  const std::string json = status();
  EXPECT_NE(std::string::npos, json.find("\"version\":\"flp20\",\"lastResult\":\"SUCCESS\"")) << json;
  EXPECT_NE(std::string::npos, json.find("\"retryState\":\"none\"")) << json;
  EXPECT_EQ(std::string::npos, json.find("\"nextUpdate\":null")) << json;
}

TEST_F(SchedulerDaemonTest, NothingIsPostedWhileAnUpdateRunsOrTheNetworkIsNotAllowed) {
  QuorvelSettingMgr* settings = QuorvelSettingMgr::getSettingMgrInstance();
  ASSERT_EQ(0, settings->setBoolean(12, "NetworkAccessAllowed", false));
  startScheduler();
  manualUpdate(100);
  ASSERT_TRUE(waitForState([](const nrsched::State& s) { return s.waitingForNetworkSinceMs != 0; }))
      << scheduler->out();
  EXPECT_NE(std::string::npos, status().find("\"waitingForNetworkSince\":\"")) << "nrctl status shows the wait";
  EXPECT_FALSE(nextPost(300).has_value());

  ASSERT_EQ(0, settings->setBoolean(12, "NetworkAccessAllowed", true));
  ASSERT_TRUE(nextPost().has_value()) << "caught up once allowed";

  // The engine takes its time: nothing else is posted meanwhile, long past
  // every interval and retry time on the test scale.
  EXPECT_FALSE(nextPost(1000).has_value());
}

TEST_F(SchedulerDaemonTest, DueTimesSurviveACrashAndAStopIsReported) {
  startScheduler();
  const auto announced = Clock::now();
  manualUpdate(1500);
  ASSERT_TRUE(waitForState([](const nrsched::State& s) { return !s.versions.empty() && s.versions[0].dueMs != 0; }));
  scheduler->signal(SIGKILL);
  EXPECT_EQ(128 + SIGKILL, scheduler->wait());

  startScheduler();
  auto update = nextPost();
  ASSERT_TRUE(update.has_value()) << scheduler->out();
  EXPECT_GE(millisSince(announced), 1500) << "the due time from before the crash";
  EXPECT_FALSE(nextPost(500).has_value()) << "posted once";

  scheduler->signal(SIGTERM);
  EXPECT_TRUE(notify->waitFor("STOPPING=1"));
  EXPECT_EQ(0, scheduler->wait());
  EXPECT_EQ(1u, savedState().pending.size()) << "the running update is remembered for the next start";
}

}  // namespace
