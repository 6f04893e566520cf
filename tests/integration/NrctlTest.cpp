// nrctl as a person or a script uses it.
#include <gtest/gtest.h>

#include "PrivateBus.h"
#include "Process.h"
#include "framework/Protocol.h"
#include "platform/ContentCache.h"
#include "platform/Settings.h"

namespace {

const std::string kNrctl = std::string(QV_BINARY_DIR) + "/tools/nrctl";

class NrctlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = qvtest::makeTempDir("qvnrctl");
    home = dir + "/home";
  }
  void TearDown() override { qvtest::removeTree(dir); }

  int run(const std::vector<std::string>& args, const std::string& input = "",
          const std::string& busAddress = "unix:path=/nonexistent/bus") {
    qvtest::Process p(kNrctl, args, dir, {{"QUORVEL_HOME", home}, {"QUORVEL_BUS_ADDRESS", busAddress}}, input);
    int status = p.wait(30000);
    out = p.out();
    err = p.err();
    return status;
  }

  std::string dir, home, out, err;
};

TEST_F(NrctlTest, BadArgumentsGiveUsageAndStatusTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"update"},
      {"update", "flp20", "--bogus"},
      {"update", "flp20", "--trigger"},
      {"retry", "flp20", "--type", "other"},
      {"push", "flp20", "-"},
      {"push", "flp20", "--content-type", "text/plain"},
      {"settings"},
      {"settings", "set", "QVCore.DCD.x"},
      {"cache", "nothing"},
      {"update", "flp20", "--timeout", "soon"},
      // A version no service serves would go unanswered.
      {"update", "flp21"},
      {"retry", "FLP20", "--type", "content"},
      {"push", "flp2", "--content-type", "text/plain", "-"},
  };
  for (const auto& args : cases) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_EQ(2, run(args)) << joined;
    EXPECT_NE(std::string::npos, err.find("usage: nrctl")) << joined << err;
  }
}

TEST_F(NrctlTest, NoBusIsReportedClearly) {
  EXPECT_EQ(125, run({"update", "flp20"}));
  EXPECT_NE(std::string::npos, err.find("cannot connect to the bus")) << err;
}

TEST_F(NrctlTest, SettingsRoundTripWithTypes) {
  ASSERT_EQ(0, run({"settings", "set", "QVCore.DCD.flp20.ServerURL", "http://127.0.0.1:1/dcd"})) << err;
  ASSERT_EQ(0, run({"settings", "set", "QVCore.DCD.Transport.EnableGzip", "true", "--type", "bool"})) << err;
  ASSERT_EQ(0, run({"settings", "set", "QVCore.DCD.Transport.Timeout", "5", "--type", "int"})) << err;
  // The type a key has is kept when none is given.
  ASSERT_EQ(0, run({"settings", "set", "QVCore.DCD.Transport.Timeout", "7"})) << err;
  EXPECT_EQ(1, run({"settings", "set", "QVCore.DCD.Transport.Timeout", "seven"}));
  EXPECT_EQ(1, run({"settings", "set", "NoSuchCategory.Key", "x"}));
  EXPECT_NE(std::string::npos, err.find("no settings category")) << err;

  ASSERT_EQ(0, run({"settings", "get", "QVCore.DCD.flp20.ServerURL"}));
  EXPECT_EQ("http://127.0.0.1:1/dcd\n", out);
  ASSERT_EQ(0, run({"settings", "get", "QVCore.DCD.Transport.Timeout"}));
  EXPECT_EQ("7\n", out);
  EXPECT_EQ(1, run({"settings", "get", "QVCore.DCD.Missing"}));

  ASSERT_EQ(0, run({"settings", "list", "--json"}));
  EXPECT_NE(std::string::npos,
            out.find("{\"name\":\"QVCore.DCD.Transport.EnableGzip\",\"category\":1,\"key\":\"Transport.EnableGzip\","
                     "\"type\":\"bool\",\"value\":\"true\"}"))
      << out;
}

TEST_F(NrctlTest, SettingsImport) {
  std::ofstream(dir + "/settings.conf") << "# demo set-up\n"
                                           "\n"
                                           "QVCore.DCD.flp20.ServerURL = http://127.0.0.1:8080/dcd?a=b\n"
                                           "QVCore.DCD.BetweenNetReq:int = 10000\n"
                                           "QVDevice.NetworkTimeAvailable:bool = false\n"
                                           "broken line\n";
  EXPECT_EQ(1, run({"settings", "import", dir + "/settings.conf"}));
  EXPECT_NE(std::string::npos, out.find("imported 3 settings, 1 failed")) << out;
  EXPECT_NE(std::string::npos, err.find("settings.conf:6")) << err;
  ASSERT_EQ(0, run({"settings", "get", "QVCore.DCD.flp20.ServerURL"}));
  EXPECT_EQ("http://127.0.0.1:8080/dcd?a=b\n", out);
  EXPECT_EQ(1, run({"settings", "import", dir + "/missing.conf"}));
}

TEST_F(NrctlTest, CacheListingsAsJson) {
  setenv("QUORVEL_HOME", home.c_str(), 1);
  NR_ContentCache::resetForTesting();
  NR_ContentCache* cache = NR_ContentCache::getInstance();
  ASSERT_NE(nullptr, cache);
  Container container;
  container.setChannelIds({"ch2", "ch1"});
  ASSERT_EQ(0, cache->save("container1", container));
  Channel channel("ch1");
  channel.setTitle(L"World \"news\"");
  channel.setSummary(L"Caf\u00e9");
  channel.setItemIds({"i2", "i1"});
  ASSERT_EQ(0, cache->save("ch1", channel));
  Item item("i1");
  item.setTitle(L"First");
  ASSERT_EQ(0, cache->save("i1", item));
  std::ofstream* stream = cache->getOutputStream("img1", 3);
  ASSERT_NE(nullptr, stream);
  *stream << "abc";
  ASSERT_EQ(0, cache->closeOutputStream("img1", stream, "image/png"));
  std::string assetPath;
  ASSERT_EQ(0, cache->getPath("img1", assetPath));
  NR_ContentCache::resetForTesting();

  ASSERT_EQ(0, run({"cache", "containers", "--json"})) << err;
  EXPECT_EQ("[{\"id\":\"container1\",\"channels\":[\"ch2\",\"ch1\"]}]\n", out);
  ASSERT_EQ(0, run({"cache", "channels", "--json"})) << err;
  EXPECT_EQ("[{\"id\":\"ch1\",\"title\":\"World \\\"news\\\"\",\"summary\":\"Caf\xc3\xa9\",\"items\":[\"i2\",\"i1\"]}]\n",
            out);
  ASSERT_EQ(0, run({"cache", "items", "--json"})) << err;
  EXPECT_EQ("[{\"id\":\"i1\",\"title\":\"First\",\"summary\":\"\"}]\n", out);
  ASSERT_EQ(0, run({"cache", "assets", "--json"})) << err;
  EXPECT_EQ("[{\"id\":\"img1\",\"mime\":\"image/png\",\"size\":3,\"path\":\"" + assetPath + "\"}]\n", out);
  ASSERT_EQ(0, run({"cache", "assets"}));
  EXPECT_NE(std::string::npos, out.find("img1  image/png  3 bytes")) << out;
}

TEST_F(NrctlTest, WaitTimesOutClearlyWhenNoServiceAnswers) {
  qvtest::PrivateBus bus;
  ASSERT_TRUE(bus.ok()) << bus.error();
  EXPECT_EQ(124, run({"update", "flp20", "--wait", "--timeout", "0.3"}, "", bus.address()));
  EXPECT_NE(std::string::npos, err.find("no response within")) << err;
}

TEST_F(NrctlTest, WatchPrintsEventsAsJsonLines) {
  qvtest::PrivateBus bus;
  ASSERT_TRUE(bus.ok()) << bus.error();
  qvtest::Process watch(kNrctl, {"watch", "--json", "--count", "2", "--timeout", "20"}, dir,
                        {{"QUORVEL_HOME", home}, {"QUORVEL_BUS_ADDRESS", bus.address()}});
  // Publish until the watcher has subscribed and seen both.
  for (int i = 0; i < 200 && watch.running(); ++i) {
    run({"update", "flp20", "--trigger", "ttl"}, "", bus.address());
    run({"cancel"}, "", bus.address());
  }
  ASSERT_EQ(0, watch.wait(20000)) << watch.err();
  std::string lines = watch.out();
  EXPECT_NE(std::string::npos,
            lines.find("{\"topic\":\"/kestrova/quorvel/newsreader/protocol/update\",\"value\":0,"
                       "\"properties\":{\"protocolversion\":\"flp20\",\"trigger\":\"ttl\"},\"data\":\"\"}\n"))
      << lines;
}

}  // namespace
