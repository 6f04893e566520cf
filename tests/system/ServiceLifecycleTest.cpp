// flp2svc as a Type=notify service: ready once it listens, a stop signal in
// the middle of an update ends that update as cancelled and tells the
// service manager it is stopping, and the next start carries on from a
// consistent state.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "NotifySocket.h"
#include "PrivateBus.h"
#include "Process.h"
#include "framework/Protocol.h"
#include "platform/ContentCache.h"
#include "platform/Settings.h"

namespace {

namespace fs = std::filesystem;

const std::string kFlp2 = std::string(QV_BINARY_DIR) + "/flp2/flp2svc";
const std::string kNrctl = std::string(QV_BINARY_DIR) + "/tools/nrctl";
const std::string kServer = std::string(QV_BINARY_DIR) + "/tools/nr-testserver";
const std::string kSamples = std::string(QV_SOURCE_DIR) + "/samples/flp2";

std::string prop(const ES_EventRecord& e, const std::string& key) {
  auto it = e.properties.find(key);
  return it == e.properties.end() ? std::string("<none>") : it->second;
}

class ServiceLifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus.ok()) << bus.error();
    ASSERT_TRUE(recorder.ok()) << recorder.error();
    dir = qvtest::makeTempDir("qvlife");
    ASSERT_FALSE(dir.empty());
    home = dir + "/home";
    root = dir + "/root";
    fs::create_directories(root);
    for (const auto& entry : fs::directory_iterator(kSamples)) fs::copy(entry.path(), root / entry.path().filename());
    setRules("[kind content-update]\ndelay 20000\n");
    setenv("QUORVEL_HOME", home.c_str(), 1);
    QuorvelSettingMgr::resetForTesting();
    NR_ContentCache::resetForTesting();

    server = std::make_unique<qvtest::Process>(
        kServer, std::vector<std::string>{"--root", root, "--port", "0", "--rules", dir + "/rules"}, dir);
    ASSERT_TRUE(server->waitForOutput("\n")) << server->err();
    const std::string address = "http://127.0.0.1:" + std::to_string(std::stoi(server->out()));
    for (const auto& entry : fs::directory_iterator(root)) {
      if (entry.path().extension() != ".xml") continue;
      std::string text = qvtest::readFile(entry.path());
      for (auto at = text.find("${SERVER}"); at != std::string::npos; at = text.find("${SERVER}")) text.replace(at, 9, address);
      std::ofstream(entry.path(), std::ios::binary) << text;
    }
    ASSERT_EQ(0, QuorvelSettingMgr::getSettingMgrInstance()->setString(1, "flp20.ServerURL", MString::toWide(address + "/dcd")));
  }
  void TearDown() override {
    daemon.reset();
    server.reset();
    NR_ContentCache::resetForTesting();
    QuorvelSettingMgr::resetForTesting();
    unsetenv("QUORVEL_HOME");
    qvtest::removeTree(dir);
  }

  void setRules(const std::string& text) {
    std::ofstream(dir + "/rules.new") << text;
    fs::rename(dir + "/rules.new", dir + "/rules");
  }

  void startDaemon() {
    notify = std::make_unique<qvtest::NotifySocket>(dir + "/notify" + std::to_string(++starts));
    ASSERT_TRUE(notify->ok());
    daemon = std::make_unique<qvtest::Process>(
        kFlp2, std::vector<std::string>{}, dir,
        std::map<std::string, std::string>{{"QUORVEL_HOME", home},
                                           {"QUORVEL_BUS_ADDRESS", bus.address()},
                                           {"QUORVEL_SLEEP_SCALE", "0.001"},
                                           {"NOTIFY_SOCKET", notify->path()}});
    ASSERT_TRUE(notify->waitFor("READY=1")) << daemon->out() << daemon->err();
    EXPECT_TRUE(recorder.waitFor(PROTOCOL_TOPIC_STARTUP).has_value()) << "ready means the startup event went out";
  }

  std::unique_ptr<qvtest::Process> update() {
    return std::make_unique<qvtest::Process>(
        kNrctl, std::vector<std::string>{"update", "flp20", "--trigger", "man", "--wait", "--timeout", "30"}, dir,
        std::map<std::string, std::string>{{"QUORVEL_HOME", home}, {"QUORVEL_BUS_ADDRESS", bus.address()}});
  }

  std::string lastResult() {
    qvTypes::String w;
    if (QuorvelSettingMgr::getSettingMgrInstance()->getString(1, "RuntimeValues.LastUpdateResult", w) != 0) return "<unset>";
    return std::string(w.begin(), w.end());
  }

  qvtest::PrivateBus bus;
  qvtest::EventRecorder recorder{"/kestrova/quorvel/newsreader/protocol"};
  std::string dir, home, root;
  std::unique_ptr<qvtest::Process> server;
  std::unique_ptr<qvtest::NotifySocket> notify;
  std::unique_ptr<qvtest::Process> daemon;
  int starts = 0;
};

TEST_F(ServiceLifecycleTest, StopSignalDuringAnUpdateCancelsItAndTheNextStartCarriesOn) {
  startDaemon();
  auto waiting = update();
  ASSERT_TRUE(recorder.waitFor(PROTOCOL_TOPIC_REPORTSTATUS, 10000, [](const ES_EventRecord& e) {
    return prop(e, "status") == "downloading";
  }).has_value());

  daemon->signal(SIGTERM);
  EXPECT_TRUE(notify->waitFor("STOPPING=1")) << notify->received();
  auto response = recorder.waitFor(PROTOCOL_TOPIC_RESPONSE, 10000);
  ASSERT_TRUE(response.has_value()) << daemon->out();
  EXPECT_EQ(std::to_string(CANCELLED), prop(*response, "__QV_Event__mValue"));
  EXPECT_EQ(CANCELLED, waiting->wait(30000)) << "the requester heard the answer: " << waiting->out();
  EXPECT_EQ(0, daemon->wait(10000));
  EXPECT_EQ("CANCELLED", lastResult());
  EXPECT_TRUE(NR_ContentCache::getInstance()->listItemIds().empty()) << "nothing half-stored";

  // The next start: ready again, and an update runs to its end.
  setRules("");
  startDaemon();
  auto second = update();
  EXPECT_EQ(SUCCESS, second->wait(30000)) << second->out() << daemon->out();
  EXPECT_EQ("SUCCESS", lastResult());
  EXPECT_FALSE(NR_ContentCache::getInstance()->listItemIds().empty());

  // A shutdown event also says "stopping".
  qvtest::Process shutdown(kNrctl, {"shutdown", "nothing"}, dir,
                           {{"QUORVEL_HOME", home}, {"QUORVEL_BUS_ADDRESS", bus.address()}});
  EXPECT_EQ(0, shutdown.wait(10000));
  EXPECT_TRUE(notify->waitFor("STOPPING=1")) << notify->received();
  EXPECT_EQ(0, daemon->wait(10000));
}

}  // namespace
