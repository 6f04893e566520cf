// The real daemons over a private bus with a fresh QUORVEL_HOME each.
#include <gtest/gtest.h>

#include <signal.h>

#include <memory>

#include "PrivateBus.h"
#include "Process.h"
#include "framework/Protocol.h"

namespace {

const std::string kFlp2 = std::string(QV_BINARY_DIR) + "/flp2/flp2svc";
const std::string kFlp1x = std::string(QV_BINARY_DIR) + "/flp1x/flp1xsvc";
const std::string kNrctl = std::string(QV_BINARY_DIR) + "/tools/nrctl";

std::string prop(const ES_EventRecord& e, const std::string& key) {
  auto it = e.properties.find(key);
  return it == e.properties.end() ? std::string("<none>") : it->second;
}

class DaemonTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus.ok()) << bus.error();
    dir = qvtest::makeTempDir("qvdaemon");
    ASSERT_FALSE(dir.empty());
    home = dir + "/home";
    ASSERT_TRUE(recorder.ok()) << recorder.error();
  }
  void TearDown() override { qvtest::removeTree(dir); }

  std::string program() const { return std::string(GetParam()) == "flp1x" ? kFlp1x : kFlp2; }
  // A version this daemon serves, and one it does not.
  std::string ownVersion() const { return std::string(GetParam()) == "flp1x" ? "flp1x" : "flp20_s"; }
  std::string otherVersion() const { return std::string(GetParam()) == "flp1x" ? "flp20" : "flp1x"; }

  std::map<std::string, std::string> env() const {
    return {{"QUORVEL_HOME", home}, {"QUORVEL_BUS_ADDRESS", bus.address()}, {"QUORVEL_SLEEP_SCALE", "0.001"}};
  }

  std::unique_ptr<qvtest::Process> startDaemon() {
    auto p = std::make_unique<qvtest::Process>(program(), std::vector<std::string>{}, dir, env());
    auto startup = recorder.waitFor(PROTOCOL_TOPIC_STARTUP);
    EXPECT_TRUE(startup.has_value()) << p->out() << p->err();
    if (startup) {
      EXPECT_EQ("0", prop(*startup, "__QV_Event__mValue"));
    }
    return p;
  }

  int nrctl(const std::vector<std::string>& args, const std::string& input = "") {
    qvtest::Process p(kNrctl, args, dir, env(), input);
    int status = p.wait(30000);
    lastOut = p.out();
    lastErr = p.err();
    return status;
  }

  qvtest::PrivateBus bus;
  qvtest::EventRecorder recorder{"/kestrova/quorvel/newsreader"};
  std::string dir;
  std::string home;
  std::string lastOut;
  std::string lastErr;
};

// Update, retry and push events for another service's version are that
// service's: this one takes none of them and answers none.
TEST_P(DaemonTest, WorkForAnotherVersionIsLeftToItsService) {
  auto daemon = startDaemon();
  const std::string other = otherVersion();
  ASSERT_EQ(0, nrctl({"update", other, "--trigger", "man"}));
  ASSERT_EQ(0, nrctl({"retry", other, "--type", "data", "--trigger", "man"}));
  ASSERT_EQ(0, nrctl({"push", other, "--content-type", "text/plain", "-"}, "hi"));
  // Its own push comes after them and is answered: the three were seen.
  ASSERT_EQ(1, nrctl({"push", ownVersion(), "--content-type", "text/plain", "-", "--wait", "--timeout", "20"}, "hi"))
      << lastOut << lastErr;
  const std::string out = daemon->out();
  std::size_t ignored = 0;
  for (std::size_t at = out.find("Ignoring the event for version " + other); at != std::string::npos;
       at = out.find("Ignoring the event for version " + other, at + 1))
    ++ignored;
  EXPECT_EQ(3u, ignored) << out;
  EXPECT_EQ(std::string::npos, out.find("Can't create protocol")) << out;
  for (const auto& e : recorder.events(200)) {
    if (e.topic != PROTOCOL_TOPIC_RESPONSE && e.topic != PROTOCOL_TOPIC_REPORTSTATUS) continue;
    EXPECT_EQ(ownVersion(), prop(e, "protocolversion")) << e.topic;
  }
}

TEST_P(DaemonTest, ShutdownForOwnVersionIsIgnoredAndForAnotherEndsTheService) {
  auto daemon = startDaemon();
  ASSERT_EQ(0, nrctl({"shutdown", ownVersion()}));
  // Still serving: a push is answered (refused for its content type).
  ASSERT_EQ(1, nrctl({"push", ownVersion(), "--content-type", "text/plain", "-", "--wait", "--timeout", "20"}, "x"))
      << lastErr;
  EXPECT_TRUE(daemon->running());
  ASSERT_EQ(0, nrctl({"shutdown", otherVersion()}));
  EXPECT_EQ(0, daemon->wait());
  EXPECT_NE(std::string::npos, daemon->out().find("ProtocolApp exiting."));
}

TEST_P(DaemonTest, StopSignalsEndTheServiceCleanly) {
  for (int sig : {SIGTERM, SIGINT}) {
    auto daemon = startDaemon();
    daemon->signal(sig);
    EXPECT_EQ(0, daemon->wait()) << sig << daemon->err();
    EXPECT_NE(std::string::npos, daemon->out().find("ProtocolApp exiting."));
  }
}

TEST_P(DaemonTest, BadEnvironmentGivesOneErrorLineAndStatusOne) {
  {
    auto vars = env();
    vars["QUORVEL_BUS_ADDRESS"] = "unix:path=" + dir + "/no-such-bus";
    qvtest::Process p(program(), {}, dir, vars);
    EXPECT_EQ(1, p.wait());
    EXPECT_NE(std::string::npos, p.err().find("cannot connect to the bus")) << p.err();
    const std::string err = p.err();
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
  }
  {
    std::ofstream(dir + "/plainfile") << "x";
    auto vars = env();
    vars["QUORVEL_HOME"] = dir + "/plainfile/home";
    qvtest::Process p(program(), {}, dir, vars);
    EXPECT_EQ(1, p.wait());
    EXPECT_NE(std::string::npos, p.err().find(dir + "/plainfile/home")) << p.err();
    const std::string err = p.err();
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
  }
}

INSTANTIATE_TEST_SUITE_P(BothServices, DaemonTest, ::testing::Values("flp2", "flp1x"));

// A daemon that the bus refuses a subscription would run deaf to that kind of
// request: it must leave as it does on an unreachable bus. The bus here takes
// two match rules per connection, so the third of the five subscriptions is
// refused by the bus itself.
TEST(DaemonStartup, RefusedSubscriptionGivesOneErrorLineAndStatusOne) {
  qvtest::PrivateBus bus("  <limit name=\"max_match_rules_per_connection\">2</limit>\n");
  ASSERT_TRUE(bus.ok()) << bus.error();
  for (const std::string& program : {kFlp2, kFlp1x}) {
    std::string dir = qvtest::makeTempDir("qvdaemon");
    ASSERT_FALSE(dir.empty());
    qvtest::Process p(program, {}, dir, {{"QUORVEL_HOME", dir + "/home"}, {"QUORVEL_BUS_ADDRESS", bus.address()}});
    EXPECT_EQ(1, p.wait()) << program << p.err();
    const std::string err = p.err();
    EXPECT_NE(std::string::npos, err.find("cannot subscribe to " + std::string(PROTOCOL_TOPIC_RETRY))) << err;
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
    // Nothing announced as if it were listening: the FLP 1.x daemon traces
    // the step that publishes startup.
    EXPECT_EQ(std::string::npos, p.out().find("send event")) << p.out();
    qvtest::removeTree(dir);
  }
}

TEST(DaemonStartup, Flp1xTracesItsMainSteps) {
  qvtest::PrivateBus bus;
  ASSERT_TRUE(bus.ok()) << bus.error();
  std::string dir = qvtest::makeTempDir("qvdaemon");
  qvtest::EventRecorder recorder{"/kestrova/quorvel/newsreader"};
  qvtest::Process p(kFlp1x, {}, dir, {{"QUORVEL_HOME", dir + "/home"}, {"QUORVEL_BUS_ADDRESS", bus.address()}});
  ASSERT_TRUE(recorder.waitFor(PROTOCOL_TOPIC_STARTUP).has_value());
  ASSERT_TRUE(p.waitForOutput("begin run.\n"));
  std::string out = p.out();
  size_t a = out.find("begin main function\n");
  size_t b = out.find("new ProtocolApp complate.\n");
  size_t c = out.find("initEvents\n");
  size_t d = out.find("send event\n");
  size_t e = out.find("init complete\n");
  size_t f = out.find("begin run.\n");
  ASSERT_NE(std::string::npos, a);
  EXPECT_TRUE(a < b && b < c && c < d && d < e && e < f) << out;
  EXPECT_NE(std::string::npos, out.find("Sync contentcache"));
  p.signal(SIGTERM);
  EXPECT_EQ(0, p.wait());
  qvtest::removeTree(dir);
}

}  // namespace
