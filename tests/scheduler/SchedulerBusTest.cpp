// The scheduler's bus interface: its properties from a state, and the real
// nr-scheduler on a private bus showing them and keeping its name to
// itself.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "PrivateBus.h"
#include "Process.h"
#include "SchedulerBus.h"
#include "StateFile.h"
#include "framework/Protocol.h"
#include "platform/Facade.h"
#include "platform/QV_Event.h"

namespace {

const std::string kScheduler = std::string(QV_BINARY_DIR) + "/tools/nr-scheduler/nr-scheduler";

TEST(SchedulerProperties, ShowEachVersionAsNrctlStatusDoes) {
  nrsched::Config config;
  config.versions = {"flp20", "flp1x"};
  nrsched::State state;
  nrsched::VersionState a;
  a.version = "flp20";
  a.lastResult = FAILED;
  a.lastUpdateMs = 1700000000500;
  a.dueMs = 1700000300999;
  a.dueIsRetry = true;
  a.retries = 2;
  a.retryState = nrsched::RetryState::RETRYING;
  nrsched::VersionState b;
  b.version = "flp1x";  // never answered, nothing due
  b.retryState = nrsched::RetryState::PARKED;
  state.versions = {a, b};
  nrsched::Pending running;
  running.kind = nrsched::Pending::RETRY;
  running.version = "flp20";
  state.pending = {running};

  auto p = nrsched::schedulerProperties(config, state);
  EXPECT_EQ(config.versions, p["Versions"].list);
  EXPECT_EQ((std::map<std::string, int64_t>{{"flp20", FAILED}, {"flp1x", -1}}), p["LastResult"].numbers);
  EXPECT_EQ((std::map<std::string, int64_t>{{"flp20", 1700000000}, {"flp1x", 0}}), p["LastUpdate"].numbers);
  EXPECT_EQ((std::map<std::string, int64_t>{{"flp20", 1700000300}, {"flp1x", 0}}), p["NextUpdate"].numbers);
  EXPECT_EQ((std::map<std::string, std::string>{{"flp20", "retrying"}, {"flp1x", "parked"}}), p["RetryState"].map);
  EXPECT_EQ((std::map<std::string, int64_t>{{"flp20", 2}, {"flp1x", 0}}), p["Retries"].numbers);
  EXPECT_EQ((std::map<std::string, std::string>{{"flp20", "retry"}}), p["Running"].map);
}

class SchedulerBusDaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus.ok()) << bus.error();
    dir = qvtest::makeTempDir("qvschedbus");
    ASSERT_FALSE(dir.empty());
    home = dir + "/home";
  }
  void TearDown() override {
    scheduler.reset();
    qvtest::removeTree(dir);
  }
  std::unique_ptr<qvtest::Process> run() {
    return std::make_unique<qvtest::Process>(
        kScheduler, std::vector<std::string>{}, dir,
        std::map<std::string, std::string>{
            {"QUORVEL_HOME", home}, {"QUORVEL_BUS_ADDRESS", bus.address()}, {"QUORVEL_SLEEP_SCALE", "0.001"}});
  }
  static void publish(const char* topic, int value, const std::map<std::string, std::string>& props) {
    QV_Event e(topic, value);
    if (!props.empty()) e.mProperties = PtrRef<QV_PropertyMap>(new QV_PropertyMap(props.begin(), props.end()));
    ASSERT_EQ(0, QV_EventAndStatusFacade::instance()->publishEvent(e, nullptr));
  }
  bool get(const char* name, qvbus::PropertyKind kind, qvbus::PropertyValue& out) {
    std::string error;
    return client.getProperty(nrsched::SCHEDULER_BUS_NAME, nrsched::SCHEDULER_OBJECT_PATH,
                              nrsched::SCHEDULER_INTERFACE, name, kind, out, error);
  }

  qvtest::PrivateBus bus;
  qvbus::BusClient client;
  std::string dir;
  std::string home;
  std::unique_ptr<qvtest::Process> scheduler;
};

TEST_F(SchedulerBusDaemonTest, ThePropertiesFollowTheAnswersAndASecondInstanceIsRefused) {
  std::string error;
  ASSERT_TRUE(client.open(error)) << error;
  scheduler = run();
  // Listening for events by then.
  ASSERT_TRUE(scheduler->waitForOutput("nr-scheduler started", 20000)) << scheduler->out() << scheduler->err();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  qvbus::PropertyValue versions;
  ASSERT_TRUE(get("Versions", qvbus::PropertyKind::STRING_LIST, versions));
  EXPECT_EQ((std::vector<std::string>{"flp20", "flp20_s", "flp1x"}), versions.list);

  // A manual update somebody ran, answered with an interval of an hour.
  publish(PROTOCOL_TOPIC_UPDATE, 0, {{"protocolversion", "flp20"}, {"trigger", "man"}});
  publish(PROTOCOL_TOPIC_TTLUPDATE, 3600, {});
  publish(PROTOCOL_TOPIC_RESPONSE, SUCCESS, {{"trigger", "man"}, {"type", "content"}});
  qvbus::PropertyValue last;
  auto answered = [&] {
    if (!get("LastResult", qvbus::PropertyKind::STRING_INT32_MAP, last)) return false;
    auto it = last.numbers.find("flp20");
    return it != last.numbers.end() && it->second == SUCCESS;
  };
  while (!answered()) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << scheduler->out();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // The properties and the state file tell the same.
  nrsched::State saved;
  ASSERT_TRUE(nrsched::loadState(home + "/scheduler.state", saved, error)) << error;
  qvbus::PropertyValue next;
  ASSERT_TRUE(get("NextUpdate", qvbus::PropertyKind::STRING_UINT64_MAP, next));
  for (const nrsched::VersionState& v : saved.versions) {
    if (v.version == "flp20") {
      EXPECT_EQ(v.dueMs / 1000, next.numbers["flp20"]);
    }
  }
  EXPECT_GT(next.numbers["flp20"], 0);

  qvtest::Process second(kScheduler, {}, dir,
                         {{"QUORVEL_HOME", home}, {"QUORVEL_BUS_ADDRESS", bus.address()}});
  EXPECT_EQ(1, second.wait(20000));
  EXPECT_EQ("nr-scheduler: another instance owns the bus name com.kestrova.Quorvel.Scheduler\n", second.err());
  EXPECT_TRUE(scheduler->running());
}

}  // namespace
