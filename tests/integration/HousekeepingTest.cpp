// The real flp2svc over a private bus against nr-testserver: the content
// cache stays bounded. Items a channel drops and assets of removed items go
// once their grace runs out, a channel subscribed again within the grace
// keeps what it had, and below the floor of free space the assets are not
// fetched at all.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

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

// An answer whose application points the next update at the file next.
std::string answer(const std::string& next, const std::string& children) {
  return "<dcd version=\"0.8\"><content-update-response><result code=\"200\"/>"
         "<application id=\"x-oma-kestrova:quorvel.ua\" name=\"NewsReader\" sync-anchor=\"" +
         next + "\" update-ttl=\"3600\" absent-mode=\"remove\">" + children +
         "</application></content-update-response></dcd>";
}

// A channel of ten items, each with an image of its own, all named after
// the channel and the round.
std::string channel(const std::string& id, int round, std::vector<std::string>* images = nullptr) {
  std::string body = "<content-set id=\"" + id + "\" name=\"feed\" sync-anchor=\"" + std::to_string(round) +
                     "\" container=\"container1\" absent-mode=\"remove\"><content name=\"title\">" + id +
                     "</content><content name=\"layout\">cs</content>";
  for (int i = 0; i < 10; ++i) {
    const std::string item = id + "-r" + std::to_string(round) + "-" + std::to_string(i);
    body += "<content-set id=\"" + item + "\" name=\"item\"><content name=\"title\">" + item +
            "</content><content name=\"image\" content-id=\"img-" + item +
            "\" content-type=\"image/png\"/></content-set>";
    if (images != nullptr) images->push_back("img-" + item);
  }
  return body + "</content-set>";
}

class HousekeepingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus.ok()) << bus.error();
    ASSERT_TRUE(recorder.ok()) << recorder.error();
    dir = qvtest::makeTempDir("qvhk");
    ASSERT_FALSE(dir.empty());
    home = dir + "/home";
    root = dir + "/root";
    fs::create_directories(root);
    setenv("QUORVEL_HOME", home.c_str(), 1);
    closeStores();
  }
  void TearDown() override {
    stopDaemon();
    server.reset();
    closeStores();
    unsetenv("QUORVEL_HOME");
    qvtest::removeTree(dir);
  }
  void stopDaemon() {
    if (!daemon) return;
    daemon->signal(SIGTERM);
    EXPECT_EQ(0, daemon->wait(20000));
    EXPECT_EQ(std::string::npos, daemon->err().find("Sanitizer")) << daemon->err();
    EXPECT_EQ(std::string::npos, daemon->err().find("runtime error")) << daemon->err();
    daemon.reset();
  }

  static void closeStores() {
    NR_ContentCache::resetForTesting();
    QuorvelSettingMgr::resetForTesting();
  }
  void writeFile(const std::string& name, const std::string& text) {
    const std::string temp = root + "/." + name + ".new";
    std::ofstream(temp, std::ios::binary) << text;
    fs::rename(temp, root + "/" + name);
  }
  // The answer file of a round ("content-update-response.xml" for the first)
  // and an image file for each image it names.
  void writeRound(int round, const std::vector<std::string>& channels, bool last = false) {
    std::vector<std::string> images;
    std::string children;
    for (const std::string& c : channels) children += channel(c, round, &images);
    const std::string name = round == 1 ? "content-update-response.xml" : "r" + std::to_string(round) + ".xml";
    writeFile(name, answer(last ? name : "r" + std::to_string(round + 1) + ".xml", children));
    for (const std::string& image : images) writeFile(image, "png bytes of " + image);
  }
  void setStorage(const std::string& key, int value) {
    ASSERT_EQ(0, QuorvelSettingMgr::getSettingMgrInstance()->setInt(7, key, value));
    QuorvelSettingMgr::resetForTesting();
  }

  void start(const std::map<std::string, std::string>& extraEnv = {}) {
    if (!server) {
      server = std::make_unique<qvtest::Process>(
          kServer, std::vector<std::string>{"--root", root, "--port", "0", "--log", dir + "/requests.jsonl"}, dir);
      ASSERT_TRUE(server->waitForOutput("\n")) << server->err();
      const std::string address = "http://127.0.0.1:" + std::to_string(std::stoi(server->out()));
      ASSERT_EQ(0, QuorvelSettingMgr::getSettingMgrInstance()->setString(1, "flp20.ServerURL",
                                                                        MString::toWide(address + "/dcd")));
      closeStores();
    }
    std::map<std::string, std::string> env{
        {"QUORVEL_HOME", home}, {"QUORVEL_BUS_ADDRESS", bus.address()}, {"QUORVEL_SLEEP_SCALE", "0.001"}};
    for (const auto& e : extraEnv) env[e.first] = e.second;
    daemon = std::make_unique<qvtest::Process>(kFlp2, std::vector<std::string>{}, dir, env);
    ASSERT_TRUE(recorder.waitFor(PROTOCOL_TOPIC_STARTUP, 20000).has_value()) << daemon->out() << daemon->err();
  }

  int nrctl(const std::vector<std::string>& args) {
    qvtest::Process p(kNrctl, args, dir, {{"QUORVEL_HOME", home}, {"QUORVEL_BUS_ADDRESS", bus.address()}});
    int status = p.wait(60000);
    lastOut = p.out();
    return status;
  }
  int update() { return nrctl({"update", "flp20", "--trigger", "man", "--wait", "--timeout", "60"}); }

  NR_ContentCache& cache() { return *NR_ContentCache::getInstance(); }
  std::set<std::string> items() {
    closeStores();
    std::vector<qvTypes::ID> ids = cache().listItemIds();
    return std::set<std::string>(ids.begin(), ids.end());
  }
  std::set<std::string> assets() {
    closeStores();
    std::set<std::string> out;
    for (const auto& a : cache().listAssets()) out.insert(a.id);
    return out;
  }
  std::set<std::string> assetFiles() {
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(home + "/assets")) out.insert(e.path().filename().string());
    return out;
  }
  // The server's request log since it was last cleared.
  std::string requestLog() { return qvtest::readFile(dir + "/requests.jsonl"); }
  void clearRequestLog() { std::ofstream(dir + "/requests.jsonl", std::ios::trunc); }

  qvtest::PrivateBus bus;
  qvtest::EventRecorder recorder{"/kestrova/quorvel/newsreader"};
  std::string dir, home, root, lastOut;
  std::unique_ptr<qvtest::Process> server;
  std::unique_ptr<qvtest::Process> daemon;
};

// Twelve updates that each replace every channel's ten items (each with its
// own image); one of the four channels is dropped half-way.
TEST_F(HousekeepingTest, TwelveUpdatesEndWithTheLiveSetOnceTheGraceIsOver) {
  const std::vector<std::string> four{"c1", "c2", "c3", "c4"};
  const std::vector<std::string> three{"c1", "c2", "c3"};
  for (int round = 1; round <= 12; ++round) writeRound(round, round <= 6 ? four : three, round == 12);
  start();
  for (int round = 1; round <= 12; ++round) ASSERT_EQ(0, update()) << "round " << round << "\n" << lastOut;

  // The default grace (7 days): the dropped channel's items and the images
  // of every replaced item are still stored.
  std::set<std::string> liveItems;
  std::set<std::string> liveImages;
  for (const std::string& c : three) {
    for (int i = 0; i < 10; ++i) {
      liveItems.insert(c + "-r12-" + std::to_string(i));
      liveImages.insert("img-" + c + "-r12-" + std::to_string(i));
    }
  }
  EXPECT_EQ(40u, items().size());
  EXPECT_EQ(420u, assets().size());
  EXPECT_EQ(420u, assetFiles().size());
  ASSERT_EQ(0, nrctl({"cache", "usage", "--json"})) << lastOut;
  EXPECT_NE(std::string::npos, lastOut.find("\"items\":{\"live\":{\"count\":30,")) << lastOut;
  EXPECT_NE(std::string::npos, lastOut.find("\"unreachable\":{\"count\":10,")) << lastOut;
  EXPECT_NE(std::string::npos, lastOut.find("\"assets\":{\"live\":{\"count\":30,")) << lastOut;
  EXPECT_NE(std::string::npos, lastOut.find("\"unreachable\":{\"count\":390,")) << lastOut;

  // Grace 0: the next successful update leaves exactly the live set, each
  // asset with its file.
  setStorage("OrphanGraceSeconds", 0);
  ASSERT_EQ(0, update()) << lastOut;
  EXPECT_EQ(liveItems, items());
  EXPECT_EQ(liveImages, assets());
  EXPECT_EQ(liveImages, assetFiles());
  closeStores();
  for (const std::string& id : liveImages) {
    std::string path;
    EXPECT_EQ(0, cache().getPath(id, path)) << id;
  }
}

TEST_F(HousekeepingTest, ChannelSubscribedAgainWithinTheGraceKeepsItsItemsAndAssets) {
  writeFile("content-update-response.xml", answer("r2.xml", channel("keep", 1) + channel("back", 1)));
  writeFile("r2.xml", answer("r3.xml", channel("keep", 1)));
  writeFile("r3.xml", answer("r3.xml", channel("keep", 1) + channel("back", 1)));
  std::vector<std::string> images;
  channel("keep", 1, &images);
  channel("back", 1, &images);
  for (const std::string& image : images) writeFile(image, "png bytes of " + image);
  start();
  ASSERT_EQ(0, update()) << lastOut;
  ASSERT_EQ(0, update()) << lastOut;  // "back" is unsubscribed
  EXPECT_EQ(20u, items().size());
  clearRequestLog();
  ASSERT_EQ(0, update()) << lastOut;  // and subscribed again
  EXPECT_EQ(20u, items().size());
  EXPECT_EQ(20u, assets().size());
  EXPECT_EQ(std::string::npos, requestLog().find("data-by-ids")) << requestLog();
}

TEST_F(HousekeepingTest, BelowTheFreeSpaceFloorTheAssetStageIsSkipped) {
  writeRound(1, {"c1"}, true);
  start({{"QUORVEL_TEST_FREE_KB", "100"}});
  EXPECT_EQ(1, update()) << lastOut;  // failed
  EXPECT_NE(std::string::npos,
            daemon->out().find("Asset downloads skipped: 100 KB free, below the floor of 10240 KB "
                               "(QVCore.Storage.MinFreeKB)"))
      << daemon->out();
  EXPECT_EQ(10u, items().size()) << "the content update still runs";
  EXPECT_TRUE(assets().empty());
  EXPECT_TRUE(assetFiles().empty());
  EXPECT_EQ(std::string::npos, requestLog().find("data-by-ids")) << requestLog();
}

}  // namespace
