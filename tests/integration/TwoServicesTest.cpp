// Both daemons on one bus, as on the phone: work for one protocol version
// is taken and answered by the service that serves it alone.
#include <chrono>
#include <thread>

#include "Flp2SessionHarness.h"

namespace {

const std::string kFlp1x = std::string(QV_BINARY_DIR) + "/flp1x/flp1xsvc";

class TwoServicesTest : public flp2it::Flp2Daemon {
 protected:
  void TearDown() override {
    if (flp1x) {
      flp1x->signal(SIGTERM);
      EXPECT_EQ(0, flp1x->wait(20000));
      flp1x.reset();
    }
    flp2it::Flp2Daemon::TearDown();
  }
  // flp1xsvc with a home of its own and no server configured: its updates
  // fail at once.
  void startFlp1x() {
    auto vars = env();
    vars["QUORVEL_HOME"] = dir + "/home-flp1x";
    flp1x = std::make_unique<qvtest::Process>(kFlp1x, std::vector<std::string>{}, dir, vars);
    ASSERT_TRUE(recorder.waitFor(PROTOCOL_TOPIC_STARTUP, 20000).has_value()) << flp1x->out() << flp1x->err();
  }
  std::unique_ptr<qvtest::Process> flp1x;
};

TEST_F(TwoServicesTest, AnUpdateOfTheOtherVersionDoesNotCancelARunningOne) {
  useSamples();
  setRules("[kind content-update]\ndelay 3000\n");
  start();
  startFlp1x();

  qvtest::Process waiting(flp2it::kNrctl, {"update", "flp20", "--trigger", "man", "--wait", "--timeout", "60"}, dir,
                          env());
  ASSERT_TRUE(recorder
                  .waitFor(PROTOCOL_TOPIC_REPORTSTATUS, 20000,
                           [](const ES_EventRecord& e) { return flp2it::prop(e, "status") == "downloading"; })
                  .has_value());
  for (int i = 0; i < 500 && requests().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_FALSE(requests().empty());

  // flp1xsvc answers its own update; flp2svc's update runs on.
  const int flp1xCode = nrctl({"update", "flp1x", "--trigger", "man", "--wait", "--timeout", "30"});
  EXPECT_NE(124, flp1xCode) << lastOut;
  EXPECT_NE(std::string::npos, lastOut.find("response: ")) << lastOut;

  EXPECT_EQ(0, waiting.wait(60000)) << waiting.out() << waiting.err();
  EXPECT_NE(std::string::npos, waiting.out().find("response: 0 success")) << waiting.out();
  EXPECT_EQ((std::vector<qvTypes::ID>{"ch-world", "ch-sport", "ch-weather"}), storedChannels());

  // Every status and response event names its version; each service
  // answered its own request once, and only flp2svc ever said "downloading"
  // for flp20.
  int flp20Responses = 0, flp1xResponses = 0;
  for (const ES_EventRecord& e : recorder.events(200)) {
    if (e.topic != PROTOCOL_TOPIC_RESPONSE && e.topic != PROTOCOL_TOPIC_REPORTSTATUS) continue;
    const std::string version = flp2it::prop(e, "protocolversion");
    EXPECT_TRUE(version == "flp20" || version == "flp1x") << e.topic << " " << version;
    if (e.topic != PROTOCOL_TOPIC_RESPONSE) continue;
    if (version == "flp20") {
      ++flp20Responses;
      EXPECT_EQ("0", flp2it::value(e));
    } else {
      ++flp1xResponses;
    }
  }
  EXPECT_EQ(1, flp20Responses);
  EXPECT_EQ(1, flp1xResponses);
}

// A push is answered by the service of its version alone, where every
// service used to answer it.
TEST_F(TwoServicesTest, APushIsAnsweredOnceByItsService) {
  useSamples();
  start();
  startFlp1x();
  EXPECT_EQ(1, pushText("flp1x", "not a push", "text/plain")) << lastOut;
  EXPECT_EQ(1, pushText("flp20", "not a push", "text/plain")) << lastOut;
  std::vector<std::string> answered;
  for (const ES_EventRecord& e : recorder.events(300))
    if (e.topic == PROTOCOL_TOPIC_RESPONSE) answered.push_back(flp2it::prop(e, "protocolversion") + "=" + flp2it::value(e));
  EXPECT_EQ((std::vector<std::string>{"flp1x=1", "flp20=1"}), answered);
}

}  // namespace
