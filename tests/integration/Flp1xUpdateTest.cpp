// The real flp1xsvc against nr-testserver: content updates from empty and
// after, the requests exactly as the server received them, the asset
// stages, retries, fallbacks, cancellation and a server that never stops
// answering "ask again", asserted on the events, the settings, the content
// cache and the server's request log.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Flp1xDaemonFixture.h"

namespace {

using flp1xit::Headers;
using flp1xit::kMsisdn;
using flp1xit::kUserAgent;
using flp1xit::prop;
using flp1xit::value;
using Ids = std::vector<qvTypes::ID>;
using Strings = std::vector<std::string>;

// A sync package: global anchor, ttl (ms), feed-metas and feeds.
std::string package(const std::string& anchor, const std::string& ttl, const std::string& metas,
                    const std::string& feeds) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<sync-pkg><meta><global-meta anchor=\"" + anchor +
         "\" ttl=\"" + ttl + "\" server-time=\"1767225600000\"/>" + metas + "</meta>" + feeds + "</sync-pkg>";
}
std::string meta(const std::string& id, const std::string& anchor) {
  return "<feed-meta ctxt-id=\"" + id + "\" anchor=\"" + anchor + "\" target=\"idle\"/>";
}
std::string content(const std::string& name, const std::string& id, const std::string& type,
                    const std::string& href = "") {
  return "<content type=\"" + type + "\" name=\"" + name + "\" ctxt-id=\"" + id + "\"" +
         (href.empty() ? "" : " href=\"" + href + "\"") + "/>";
}
std::string entry(const std::string& id, const std::string& contents = "") {
  return "<entry ctxt-id=\"" + id + "\"><title>" + id + "</title>" + contents + "</entry>";
}
std::string feed(const std::string& id, const std::string& entries) {
  return "<feed ctxt-id=\"" + id + "\"><title>" + id + "</title>" + entries + "</feed>";
}

class Flp1xUpdateTest : public flp1xit::Flp1xDaemonTest {
 protected:
  // The first sync: three channels; five assets by id (two ids a request
  // makes three requests), two by URL. Served at /flp/page2.xml, after an
  // answer at /flp with a ttl of 1 that names that path.
  void firstSync() {
    const std::string media = address() + "/media/";
    writeFile(root + "/flp/index.xml", package("g-0", "1000", "", ""));
    writeFile(root + "/flp/index.xml.rules", "header X-FL-NextURI: /flp/page2.xml\n");
    writeFile(root + "/flp/page2.xml",
              package("g-1", "0", meta("news", "news-a1") + meta("sport", "sport-a1") + meta("weather", ""),
                      feed("news", entry("n1", content("c1", "a1.png", "image/png") + content("c2", "a2.gif", "image/gif")) +
                                       entry("n2", content("c1", "a3.jpg", "image/jpeg")) + entry("n3")) +
                          feed("sport", entry("s1", content("c1", "a4.xml", "text/xml")) +
                                            entry("s2", content("c1", "a5.png", "image/png") +
                                                            content("c2", "u1", "image/gif", media + "u1.gif"))) +
                          feed("weather", entry("w1", content("c1", "u2", "text/x-forecast", media + "u2.txt")))));
    writeFile(root + "/a1.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
    writeFile(root + "/a2.gif", "GIF89a two");
    writeFile(root + "/a3.jpg", "\xff\xd8\xff jpeg three");
    writeFile(root + "/a4.xml", "<forecast>sunny</forecast>\r\n");
    writeFile(root + "/a5.png", "five");
    writeFile(root + "/u1.gif", "GIF89a by url");
    writeFile(root + "/u2.txt", "rain later");
  }

  // The headers of a type-1 request as the daemon sends them.
  Headers type1Headers(const std::string& trigger, bool compressed, const std::string& globalAnchor = "",
                       const std::string& channelAnchors = "") {
    Headers h{{"Host", "127.0.0.1"}};
    if (compressed) {
      h.push_back({"Accept", "application/vnd.kestrova.quorvel+gzip"});
      h.push_back({"Accept-Encoding", "compress, gzip"});
    } else {
      h.push_back({"Accept", "application/vnd.kestrova.quorvel+xml"});
    }
    h.push_back({"X-FL-RequestType", trigger});
    h.push_back({"X-FL-MSISDN", kMsisdn});
    h.push_back({"x-up-calling-line-id", kMsisdn});
    h.push_back({"User-Agent", kUserAgent});
    if (!globalAnchor.empty()) h.push_back({"X-FL-Global-Sync-Anchor", globalAnchor});
    if (!channelAnchors.empty()) h.push_back({"X-FL-Sync-Anchor", channelAnchors});
    return h;
  }
};

TEST_F(Flp1xUpdateTest, ManualUpdateFromEmptyStoresTheSecondPackageAndFetchesEveryAsset) {
  startServer();
  firstSync();
  startDaemon();
  ASSERT_EQ(SUCCESS, update()) << lastOut << daemon->out();

  // Events: a download per content request, the interval (a ttl of 0),
  // the content, then the data stage, then the answer.
  Strings seen;
  for (const ES_EventRecord& e : recorder.events(200)) {
    if (e.topic == PROTOCOL_TOPIC_REPORTSTATUS) seen.push_back(prop(e, "status") + "/" + prop(e, "type"));
    if (e.topic == PROTOCOL_TOPIC_TTLUPDATE) seen.push_back("ttl " + value(e));
    if (e.topic == PROTOCOL_TOPIC_RESPONSE)
      seen.push_back("response " + value(e) + " " + prop(e, "trigger") + " " + prop(e, "type"));
  }
  EXPECT_EQ((Strings{"downloading/content", "downloading/content", "ttl 8640000", "complete/content",
                     "complete/data", "response 0 man data"}),
            seen);

  // The requests, in order and exactly as received (the stack sends Host
  // first).
  EXPECT_EQ((Strings{"type-1 /flp", "type-1 /flp/page2.xml", "type-2 a1.png,a2.gif", "type-2 a3.jpg,a4.xml",
                     "type-2 a5.png", "type-3 /media/u1.gif", "type-3 /media/u2.txt"}),
            requestKinds());
  const auto log = requests();
  ASSERT_EQ(7u, log.size());
  EXPECT_EQ(type1Headers("man", true), log[0].headers);
  EXPECT_EQ(type1Headers("man", true), log[1].headers);
  EXPECT_EQ((Headers{{"Host", "127.0.0.1"},
                     {"Accept", "*/*"},
                     {"X-FL-RequestType", "data"},
                     {"X-FL-Request-Id", "a1.png,a2.gif"},
                     {"X-FL-MSISDN", kMsisdn},
                     {"x-up-calling-line-id", kMsisdn},
                     {"User-Agent", kUserAgent}}),
            log[2].headers);
  EXPECT_EQ((Headers{{"Host", "127.0.0.1"},
                     {"X-FL-RequestType", "data3"},
                     {"X-FL-MSISDN", kMsisdn},
                     {"x-up-calling-line-id", kMsisdn},
                     {"User-Agent", kUserAgent}}),
            log[5].headers);

  // Content cache: the second package only.
  EXPECT_EQ((Ids{"news", "sport", "weather"}), containerChannels());
  EXPECT_EQ((Ids{"n1", "n2", "n3"}), channelItems("news"));
  EXPECT_EQ((Ids{"s1", "s2"}), channelItems("sport"));
  EXPECT_EQ((Ids{"w1"}), channelItems("weather"));
  Channel news;
  ASSERT_EQ(0, cache().get("news", news));
  EXPECT_EQ(L"news-a1", news.getAttributes().getString("flp1x:anchor", L"", "_default_"));

  // Assets byte for byte: by id with the server's types, by URL with the
  // declared ones.
  using Asset = std::pair<std::string, std::string>;
  EXPECT_EQ((std::map<std::string, Asset>{{"a1.png", {"image/png", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16)}},
                                          {"a2.gif", {"image/gif", "GIF89a two"}},
                                          {"a3.jpg", {"image/jpg", "\xff\xd8\xff jpeg three"}},
                                          {"a4.xml", {"text/xml", "<forecast>sunny</forecast>\r\n"}},
                                          {"a5.png", {"image/png", "five"}},
                                          {"u1", {"image/gif", "GIF89a by url"}},
                                          {"u2", {"text/x-forecast", "rain later"}}}),
            assets());

  // Settings: the sync anchor, the download statistics.
  EXPECT_EQ("g-1", setting("QVCore.DCD.RuntimeValues.AppSyncAnchor"));
  EXPECT_EQ(6, number("RuntimeValues.ItemsDownloaded"));
  EXPECT_EQ(static_cast<int>(qvtest::readFile(root + "/flp/page2.xml").size()), number("RuntimeValues.BytesDownloaded"));
  EXPECT_GT(number("RuntimeValues.LastUpdateTime"), 1700000000);
}

TEST_F(Flp1xUpdateTest, LaterUpdatesReconcileSendTheAnchorsAndRetryOnlyWhatIsMissing) {
  startServer();
  firstSync();
  startDaemon();
  ASSERT_EQ(SUCCESS, update()) << lastOut;

  // Without compression now; weather and n3 are gone, n2 has a new asset
  // the server does not have yet.
  setText(1, "flp1x.CompressionType", "0");
  restartDaemon();
  writeFile(root + "/flp/page2.xml",
            package("g-2", "60000", meta("news", "news-a2") + meta("sport", "sport-a2"),
                    feed("news", entry("n1", content("c1", "a1.png", "image/png") + content("c2", "a2.gif", "image/gif")) +
                                     entry("n2", content("c1", "a3.jpg", "image/jpeg") + content("c2", "a6.png", "image/png"))) +
                        feed("sport", entry("s1", content("c1", "a4.xml", "text/xml")))));
  clearRequestLog();
  EXPECT_EQ(FAILED, update()) << lastOut;
  EXPECT_EQ((Ids{"news", "sport"}), containerChannels());
  EXPECT_EQ((Ids{"n1", "n2"}), channelItems("news"));
  EXPECT_EQ((Ids{"s1"}), channelItems("sport"));
  Channel weather;
  EXPECT_NE(0, cache().get("weather", weather));
  Item n3;
  EXPECT_NE(0, cache().get("n3", n3));
  EXPECT_EQ("g-2", setting("QVCore.DCD.RuntimeValues.AppSyncAnchor"));
  // The anchors the phone held; only the missing asset was asked for (and
  // its empty answer failed the update).
  auto log = requests();
  ASSERT_EQ(3u, log.size());
  EXPECT_EQ(type1Headers("man", false, "g-1", "news=news-a1, sport=sport-a1"), log[0].headers);
  EXPECT_EQ((Strings{"type-1 /flp", "type-1 /flp/page2.xml", "type-2 a6.png"}), requestKinds());
  auto ttl = recorder.waitFor(PROTOCOL_TOPIC_TTLUPDATE);
  ttl = recorder.waitFor(PROTOCOL_TOPIC_TTLUPDATE);
  ASSERT_TRUE(ttl.has_value());
  EXPECT_EQ("60", value(*ttl));

  // A retry of the data stage: no content request, only what is missing.
  writeFile(root + "/a6.png", "six");
  clearRequestLog();
  EXPECT_EQ(SUCCESS, retryData()) << lastOut;
  EXPECT_EQ((Strings{"type-2 a6.png"}), requestKinds());
  EXPECT_EQ("six", assets()["a6.png"].second);

  // A pushed-data trigger sends no channel anchors.
  clearRequestLog();
  EXPECT_EQ(SUCCESS, update("ds")) << lastOut;
  log = requests();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(type1Headers("ds", false, "g-2"), log[0].headers);
}

TEST_F(Flp1xUpdateTest, AFailedContentRequestIsAFallbackOnlyForAConfiguredCode) {
  startServer();
  firstSync();
  setRules("[kind type-1]\nstatus 404\n");
  struct Case {
    const char* fallbackCodes;
    int code;
  };
  for (const Case& c : {Case{"500,404", WRONG_VERSION}, Case{"500,403", FAILED}}) {
    SCOPED_TRACE(c.fallbackCodes);
    setText(1, "flp1x.FallbackHttpCode", c.fallbackCodes);
    if (daemon) {
      restartDaemon();
    } else {
      startDaemon();
    }
    EXPECT_EQ(c.code, update()) << lastOut;
    EXPECT_TRUE(containerChannels().empty());
    EXPECT_EQ("", setting("QVCore.DCD.RuntimeValues.AppSyncAnchor"));
    EXPECT_EQ(0, number("RuntimeValues.LastUpdateTime"));
  }
}

TEST_F(Flp1xUpdateTest, ACancelEndsTheUpdateAtOnceInTheContentAndInTheUrlStage) {
  startServer();
  firstSync();
  startDaemon();
  const auto waiting = [this] {
    return std::make_unique<qvtest::Process>(
        flp1xit::kNrctl, std::vector<std::string>{"update", "flp1x", "--trigger", "man", "--wait", "--timeout", "30"},
        dir, nrctlEnv());
  };

  // During the content exchange: nothing stored.
  setRules("[path /flp/page2.xml]\ndelay 20000\n");
  auto first = waiting();
  ASSERT_TRUE(waitForRequest("type-1"));
  for (int i = 0; i < 1000 && requests().size() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(0, nrctl({"cancel"}));
  EXPECT_EQ(CANCELLED, first->wait(30000)) << first->out();
  EXPECT_TRUE(containerChannels().empty());
  EXPECT_EQ("", setting("QVCore.DCD.RuntimeValues.AppSyncAnchor"));

  // During the first request by URL: the content and the assets by id are
  // kept, the second asset by URL is never asked for.
  setRules("[kind type-3]\ndelay 20000\n");
  clearRequestLog();
  auto second = waiting();
  ASSERT_TRUE(waitForRequest("type-3"));
  ASSERT_EQ(0, nrctl({"cancel"}));
  EXPECT_EQ(CANCELLED, second->wait(30000)) << second->out();
  EXPECT_EQ((Ids{"news", "sport", "weather"}), containerChannels());
  auto got = assets();
  EXPECT_EQ(5u, got.size());
  EXPECT_EQ(0u, got.count("u1"));
  EXPECT_EQ((Strings{"type-1 /flp", "type-1 /flp/page2.xml", "type-2 a1.png,a2.gif", "type-2 a3.jpg,a4.xml",
                     "type-2 a5.png", "type-3 /media/u1.gif"}),
            requestKinds());
}

TEST_F(Flp1xUpdateTest, AServerThatAlwaysSaysAskAgainIsFollowedSixteenTimes) {
  startServer();
  writeFile(root + "/flp/index.xml", package("g-0", "1000", "", ""));
  startDaemon();
  EXPECT_EQ(FAILED, update()) << lastOut;
  EXPECT_EQ(17u, requests().size());
  EXPECT_TRUE(containerChannels().empty());
  for (const ES_EventRecord& e : recorder.events(0)) EXPECT_NE(PROTOCOL_TOPIC_TTLUPDATE, e.topic);
  EXPECT_TRUE(daemon->waitForOutput("The server answered a ttl of 1 more than 16 times in a row"));
}

// An asset href in the package may name any host: the MSISDN goes only to
// the configured server's origin; the asset is still fetched and stored.
TEST_F(Flp1xUpdateTest, AnAssetOnAnotherOriginIsFetchedWithoutTheMsisdn) {
  startServer();
  const std::string otherRoot = dir + "/other-root";
  writeFile(otherRoot + "/u9.gif", "GIF89a-other");
  qvtest::Process other(flp1xit::kServer,
                        {"--root", otherRoot, "--mode", "flp1x", "--port", "0", "--log", dir + "/other.jsonl"}, dir);
  ASSERT_TRUE(other.waitForOutput("\n")) << other.err();
  const std::string otherAddress = "http://127.0.0.1:" + std::to_string(std::stoi(other.out()));
  writeFile(root + "/u1.gif", "GIF89a-own");
  writeFile(root + "/flp/index.xml",
            package("g-1", "0", meta("news", "a1"),
                    feed("news", entry("n1", content("c1", "u1", "image/gif", address() + "/media/u1.gif") +
                                                 content("c2", "u9", "image/gif", otherAddress + "/media/u9.gif")))));
  startDaemon();
  ASSERT_EQ(0, nrctl({"update", "flp1x", "--trigger", "man", "--wait", "--timeout", "30"})) << lastOut << daemon->out();

  const std::string otherLog = qvtest::readFile(dir + "/other.jsonl");
  EXPECT_NE(std::string::npos, otherLog.find("\"path\":\"/media/u9.gif\"")) << otherLog;
  EXPECT_EQ(std::string::npos, otherLog.find(kMsisdn)) << otherLog;
  // The server's own asset still carries it.
  bool ownAssetWithMsisdn = false;
  for (const auto& r : requests())
    if (r.path == "/media/u1.gif") ownAssetWithMsisdn = r.header("X-FL-MSISDN") == kMsisdn;
  EXPECT_TRUE(ownAssetWithMsisdn);
  std::string path;
  EXPECT_EQ(0, cache().getPath("u9", path));
  EXPECT_EQ(0, cache().getPath("u1", path));
}

}  // namespace
