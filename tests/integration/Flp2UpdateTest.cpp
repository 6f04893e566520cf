// The real flp2svc over a private bus against nr-testserver: content
// updates, fallbacks, bad answers, asset batches and cancellation, asserted
// on the events, the settings, the content cache and the server's request
// log.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
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
const std::string kSamples = std::string(QV_SOURCE_DIR) + "/samples/flp2";

std::string prop(const ES_EventRecord& e, const std::string& key) {
  auto it = e.properties.find(key);
  return it == e.properties.end() ? std::string("<none>") : it->second;
}
std::string value(const ES_EventRecord& e) { return prop(e, "__QV_Event__mValue"); }

// One line of the server's request log, as far as the tests look at it.
struct LoggedRequest {
  std::string method;
  std::string path;
  std::string kind;
  std::string requestIds;  // the X-FL-Request-Id header
  std::string body;
};

std::string jsonField(const std::string& line, const std::string& name) {
  std::smatch m;
  if (!std::regex_search(line, m, std::regex("\"" + name + "\":\"((?:[^\"\\\\]|\\\\.)*)\""))) return "";
  return m[1];
}

// An answer to a content update, with the given application attributes and
// children.
std::string answer(const std::string& applicationAttributes, const std::string& children) {
  return "<dcd version=\"0.8\"><content-update-response><result code=\"200\"/>"
         "<application id=\"x-oma-kestrova:quorvel.ua\" name=\"NewsReader\" " +
         applicationAttributes + ">" + children + "</application></content-update-response></dcd>";
}

std::string feed(const std::string& id, const std::string& anchor, const std::string& body,
                 const std::string& absentMode = "remove") {
  return "<content-set id=\"" + id + "\" name=\"feed\" sync-anchor=\"" + anchor +
         "\" container=\"container1\" absent-mode=\"" + absentMode + "\"><content name=\"title\">" + id +
         "</content><content name=\"layout\">cs</content>" + body + "</content-set>";
}

std::string item(const std::string& id, const std::string& more = "") {
  return "<content-set id=\"" + id + "\" name=\"item\"><content name=\"title\">" + id + "</content>" + more +
         "</content-set>";
}

class Flp2UpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus.ok()) << bus.error();
    ASSERT_TRUE(recorder.ok()) << recorder.error();
    dir = qvtest::makeTempDir("qvflp2");
    ASSERT_FALSE(dir.empty());
    home = dir + "/home";
    root = dir + "/root";
    fs::create_directories(root);
    writeFile(dir + "/rules", "");
    setenv("QUORVEL_HOME", home.c_str(), 1);
    closeStores();
  }
  void TearDown() override {
    if (daemon) {
      // A clean stop, so that a sanitizer build reports what it found.
      daemon->signal(SIGTERM);
      EXPECT_EQ(0, daemon->wait(20000));
      EXPECT_EQ(std::string::npos, daemon->err().find("Sanitizer")) << daemon->err();
      EXPECT_EQ(std::string::npos, daemon->err().find("runtime error")) << daemon->err();
    }
    daemon.reset();
    server.reset();
    closeStores();
    unsetenv("QUORVEL_HOME");
    qvtest::removeTree(dir);
  }

  static void closeStores() {
    NR_ContentCache::resetForTesting();
    QuorvelSettingMgr::resetForTesting();
  }
  static void writeFile(const std::string& path, const std::string& text) {
    const std::string temp = path + ".new";
    std::ofstream(temp, std::ios::binary) << text;
    fs::rename(temp, path);  // the server sees the whole file or none
  }
  void useSamples() {
    for (const auto& entry : fs::directory_iterator(kSamples)) {
      fs::copy(entry.path(), root + "/" + entry.path().filename().string());
    }
  }
  void setRules(const std::string& text) { writeFile(dir + "/rules", text); }

  // Starts nr-testserver on the root (${SERVER} in its XML files becomes its
  // address) and flp2svc configured for it.
  void start() {
    server =
        std::make_unique<qvtest::Process>(kServer,
                                          std::vector<std::string>{"--root", root, "--port", "0", "--log",
                                                                   dir + "/requests.jsonl", "--rules", dir + "/rules"},
                                          dir);
    ASSERT_TRUE(server->waitForOutput("\n")) << server->err();
    port = std::stoi(server->out());
    const std::string address = "http://127.0.0.1:" + std::to_string(port);
    for (const auto& entry : fs::directory_iterator(root)) {
      if (entry.path().extension() != ".xml") continue;
      std::string text = qvtest::readFile(entry.path());
      for (std::string::size_type at = text.find("${SERVER}"); at != std::string::npos;
           at = text.find("${SERVER}")) {
        text.replace(at, 9, address);
      }
      writeFile(entry.path(), text);
    }
    setText(1, "flp20.ServerURL", address + "/dcd");
    daemon = std::make_unique<qvtest::Process>(
        kFlp2, std::vector<std::string>{}, dir,
        std::map<std::string, std::string>{
            {"QUORVEL_HOME", home}, {"QUORVEL_BUS_ADDRESS", bus.address()}, {"QUORVEL_SLEEP_SCALE", "0.001"}});
    ASSERT_TRUE(recorder.waitFor(PROTOCOL_TOPIC_STARTUP).has_value()) << daemon->out() << daemon->err();
  }

  int nrctl(const std::vector<std::string>& args) {
    qvtest::Process p(kNrctl, args, dir, {{"QUORVEL_HOME", home}, {"QUORVEL_BUS_ADDRESS", bus.address()}});
    int status = p.wait(60000);
    lastOut = p.out();
    return status;
  }
  // A manual update, waited for; the response code.
  int update(const std::string& trigger = "man") {
    return nrctl({"update", "flp20", "--trigger", trigger, "--wait", "--timeout", "30"});
  }
  ES_EventRecord response() {
    auto e = recorder.waitFor(PROTOCOL_TOPIC_RESPONSE, 30000);
    EXPECT_TRUE(e.has_value());
    return e ? *e : ES_EventRecord();
  }

  std::vector<LoggedRequest> requests() {
    std::vector<LoggedRequest> out;
    std::ifstream in(dir + "/requests.jsonl");
    std::string line;
    const std::regex ids("\\[\"X-FL-Request-Id\",\"([^\"]*)\"\\]", std::regex::icase);
    while (std::getline(in, line)) {
      LoggedRequest r;
      r.method = jsonField(line, "method");
      r.path = jsonField(line, "path");
      r.kind = jsonField(line, "kind");
      r.body = jsonField(line, "body");
      std::smatch m;
      if (std::regex_search(line, m, ids)) r.requestIds = m[1];
      out.push_back(r);
    }
    return out;
  }
  std::vector<std::string> requestKinds() {
    std::vector<std::string> kinds;
    for (const LoggedRequest& r : requests()) {
      if (r.kind == "data-by-ids") {
        kinds.push_back(r.kind + " " + r.requestIds);
      } else if (r.kind == "data-by-url") {
        kinds.push_back(r.kind + " " + r.path);
      } else {
        kinds.push_back(r.kind);
      }
    }
    return kinds;
  }
  void clearRequestLog() { std::ofstream(dir + "/requests.jsonl", std::ios::trunc); }

  // Settings and cache as the daemon left them (read in this process).
  void setText(int category, const std::string& key, const std::string& text) {
    ASSERT_EQ(0, QuorvelSettingMgr::getSettingMgrInstance()->setString(category, key, MString::toWide(text)));
  }
  void setInt(const std::string& key, int v) {
    ASSERT_EQ(0, QuorvelSettingMgr::getSettingMgrInstance()->setInt(1, key, v));
  }
  void setBool(const std::string& key, bool v) {
    ASSERT_EQ(0, QuorvelSettingMgr::getSettingMgrInstance()->setBoolean(1, key, v));
  }
  std::string text(const std::string& key) {
    std::wstring w;
    if (QuorvelSettingMgr::getSettingMgrInstance()->getString(1, key, w) != 0) return "<unset>";
    std::string out;
    for (wchar_t c : w) out.push_back(static_cast<char>(c));
    return out;
  }
  int number(const std::string& key) {
    int v = -12345;
    QuorvelSettingMgr::getSettingMgrInstance()->getInt(1, key, v);
    return v;
  }
  NR_ContentCache& cache() { return *NR_ContentCache::getInstance(); }
  std::vector<qvTypes::ID> containerChannels() {
    Container c;
    EXPECT_EQ(0, cache().get("container1", c));
    return c.getChannelIds();
  }
  std::vector<qvTypes::ID> channelItems(const std::string& id) {
    Channel c;
    EXPECT_EQ(0, cache().get(id, c)) << id;
    return c.getItemIds();
  }
  std::map<std::string, std::string> assets() {
    std::map<std::string, std::string> out;
    for (const auto& a : cache().listAssets()) out[a.id] = a.mime;
    return out;
  }

  qvtest::PrivateBus bus;
  qvtest::EventRecorder recorder{"/kestrova/quorvel/newsreader"};
  std::string dir, home, root, lastOut;
  int port = 0;
  std::unique_ptr<qvtest::Process> server;
  std::unique_ptr<qvtest::Process> daemon;
};

using Ids = std::vector<qvTypes::ID>;

TEST_F(Flp2UpdateTest, ManualUpdateFromEmptyStoresEverythingAndFetchesAssetsInBatches) {
  useSamples();
  start();
  ASSERT_EQ(0, update()) << lastOut << daemon->out();

  // Events: status changes in order, the update-ttl, the response.
  std::vector<std::string> seen;
  for (const ES_EventRecord& e : recorder.events(200)) {
    if (e.topic == PROTOCOL_TOPIC_REPORTSTATUS) seen.push_back(prop(e, "status") + "/" + prop(e, "type"));
    if (e.topic == PROTOCOL_TOPIC_TTLUPDATE) seen.push_back("ttl " + value(e));
    if (e.topic == PROTOCOL_TOPIC_RESPONSE) {
      seen.push_back("response " + value(e) + " " + prop(e, "trigger") + " " + prop(e, "type"));
    }
  }
  EXPECT_EQ((std::vector<std::string>{"downloading/content", "ttl 3600", "complete/content", "complete/data",
                                      "response 0 man data"}),
            seen);

  // Content cache.
  EXPECT_EQ((Ids{"ch-world", "ch-sport", "ch-weather"}), containerChannels());
  EXPECT_EQ((Ids{"w-1", "w-2", "w-3"}), channelItems("ch-world"));
  EXPECT_EQ((Ids{"s-1", "s-2"}), channelItems("ch-sport"));
  EXPECT_EQ((Ids{"wx-today", "wx-tomorrow"}), channelItems("ch-weather"));
  Item w1;
  ASSERT_EQ(0, cache().get("w-1", w1));
  EXPECT_EQ(L"Ferries run again from noon; the quay wall held, engineers say.", w1.getSummary());
  EXPECT_EQ(NewsObject::HIGH, w1.getPriority());
  EXPECT_EQ(1717228800, w1.getActivationDate());
  EXPECT_EQ((std::map<std::string, std::string>{{"ex-s1.xhtml", "application/xhtml+xml"},
                                                {"ex-s2.xhtml", "application/xhtml+xml"},
                                                {"img-harbour", "image/png"},
                                                {"img-s2.gif", "image/gif"},
                                                {"img-talks.png", "image/png"},
                                                {"logo-sport.png", "image/png"},
                                                {"logo-world.gif", "image/gif"},
                                                {"tpl-headlines.xhtml", "application/xhtml+xml"},
                                                {"tpl-weather", "application/xhtml+xml"}}),
            assets());

  // Settings.
  EXPECT_EQ("second-update.xml", text("RuntimeValues.AppSyncAnchor"));
  EXPECT_EQ("SUCCESS", text("RuntimeValues.LastUpdateResult"));
  EXPECT_GT(number("RuntimeValues.LastUpdateTime"), 1700000000);
  EXPECT_EQ(7, number("RuntimeValues.ItemsDownloaded"));
  long assetBytes = 0;
  for (const auto& a : cache().listAssets()) assetBytes += a.size;
  EXPECT_EQ(assetBytes, number("RuntimeValues.BytesDownloaded"));

  // Seven assets by id, at most three a request, in id order; the two by
  // URL each alone, sent as they come up.
  EXPECT_EQ((std::vector<std::string>{"content-update", "data-by-url /media/harbour.png",
                                      "data-by-ids ex-s1.xhtml,ex-s2.xhtml,img-s2.gif",
                                      "data-by-ids img-talks.png,logo-sport.png,logo-world.gif",
                                      "data-by-url /templates/weather.xhtml", "data-by-ids tpl-headlines.xhtml"}),
            requestKinds());
  const std::string body = requests()[0].body;
  EXPECT_NE(std::string::npos, body.find("request-trigger=\\\"man\\\"")) << body;
  EXPECT_NE(std::string::npos, body.find("sync-anchor=\\\"\\\"")) << body;
}

TEST_F(Flp2UpdateTest, SecondUpdateReconcilesAndFetchesOnlyWhatIsMissing) {
  useSamples();
  start();
  ASSERT_EQ(0, update());
  clearRequestLog();
  ASSERT_EQ(0, update()) << lastOut;

  // World: same anchor, untouched. Sport: "ignore" keeps s-2, s-1 keeps its
  // stored text. Weather: no longer sent, unsubscribed. Technology: new.
  EXPECT_EQ((Ids{"ch-world", "ch-sport", "ch-tech"}), containerChannels());
  Channel world;
  ASSERT_EQ(0, cache().get("ch-world", world));
  EXPECT_EQ(L"World", world.getTitle());
  EXPECT_EQ((Ids{"s-1", "s-2", "s-3"}), channelItems("ch-sport"));
  Item s1;
  ASSERT_EQ(0, cache().get("s-1", s1));
  EXPECT_EQ(L"Northbridge win the derby", s1.getTitle());
  Channel weather;
  EXPECT_NE(0, cache().get("ch-weather", weather));
  EXPECT_EQ(2, number("RuntimeValues.ItemsDownloaded"));

  // The request listed the stored channels with their anchors; only the
  // new channel's logo was fetched.
  std::vector<LoggedRequest> log = requests();
  ASSERT_FALSE(log.empty());
  EXPECT_NE(std::string::npos,
            log[0].body.find("id=\\\"ch-world\\\"  name=\\\"feed\\\"  sync-anchor=\\\"world-2024-06-01-08\\\""))
      << log[0].body;
  EXPECT_EQ((std::vector<std::string>{"content-update", "data-by-ids logo-tech.png"}), requestKinds());
  auto ttl = recorder.waitFor(PROTOCOL_TOPIC_TTLUPDATE);
  ttl = recorder.waitFor(PROTOCOL_TOPIC_TTLUPDATE);
  ASSERT_TRUE(ttl.has_value());
  EXPECT_EQ("7200", value(*ttl));
}

TEST_F(Flp2UpdateTest, AbsentModesOfTheApplication) {
  writeFile(root + "/content-update-response.xml",
            answer("sync-anchor=\"a2.xml\" update-ttl=\"60\" absent-mode=\"remove\"",
                   feed("c1", "1", item("i1")) + feed("c2", "1", item("i2"))));
  // ignore: c1 is not sent but stays; c3 is appended.
  writeFile(root + "/a2.xml", answer("sync-anchor=\"a3.xml\" update-ttl=\"60\" absent-mode=\"ignore\"",
                                     feed("c3", "1", item("i3")) + feed("c2", "2", item("i2") + item("i4"))));
  // c1 drops i1, which c3 now lists too: it stays stored.
  writeFile(root + "/a3.xml", answer("sync-anchor=\"a4.xml\" update-ttl=\"60\" absent-mode=\"ignore\"",
                                     feed("c1", "2", "") + feed("c3", "2", item("i3") + item("i1"))));
  // remove without content sets: everything goes.
  writeFile(root + "/a4.xml", answer("sync-anchor=\"a5.xml\" update-ttl=\"60\" absent-mode=\"remove\"", ""));
  start();
  ASSERT_EQ(0, update());
  EXPECT_EQ((Ids{"c1", "c2"}), containerChannels());
  ASSERT_EQ(0, update());
  EXPECT_EQ((Ids{"c1", "c2", "c3"}), containerChannels());
  EXPECT_EQ((Ids{"i2", "i4"}), channelItems("c2"));
  ASSERT_EQ(0, update());
  EXPECT_TRUE(channelItems("c1").empty());
  EXPECT_EQ((Ids{"i3", "i1"}), channelItems("c3"));
  Item i1;
  EXPECT_EQ(0, cache().get("i1", i1));
  ASSERT_EQ(0, update());
  EXPECT_TRUE(containerChannels().empty());
  for (const char* id : {"c1", "c2", "c3"}) {
    Channel c;
    EXPECT_NE(0, cache().get(id, c)) << id;
  }
  EXPECT_EQ("a5.xml", text("RuntimeValues.AppSyncAnchor"));
}

// Under absent-mode "remove", a stored channel whose new item fails keeps
// what it had (channel, item list, items) while the rest of the answer is
// applied; a failing channel that was not stored before stays away.
TEST_F(Flp2UpdateTest, AStoredChannelWhoseNewItemFailsKeepsItsStoredState) {
  const std::string bad = item("i9", "<content name=\"displaycount\">lots</content>");
  writeFile(root + "/content-update-response.xml",
            answer("sync-anchor=\"b2.xml\" update-ttl=\"60\" absent-mode=\"remove\"",
                   feed("c1", "1", item("i1")) + feed("c2", "1", item("i2"))));
  writeFile(root + "/b2.xml", answer("sync-anchor=\"b3.xml\" update-ttl=\"60\" absent-mode=\"remove\"",
                                     feed("c1", "2", item("i1") + bad) + feed("c2", "2", item("i2") + item("i3")) +
                                         feed("c4", "1", bad)));
  writeFile(root + "/b3.xml", answer("sync-anchor=\"b3.xml\" update-ttl=\"60\" absent-mode=\"remove\"", ""));
  start();
  ASSERT_EQ(0, update());
  ASSERT_EQ((Ids{"c1", "c2"}), containerChannels());
  ASSERT_EQ(0, update()) << lastOut;

  EXPECT_EQ((Ids{"c1", "c2"}), containerChannels());
  EXPECT_EQ((Ids{"i1"}), channelItems("c1"));
  EXPECT_EQ((Ids{"i2", "i3"}), channelItems("c2"));
  Item stored;
  EXPECT_EQ(0, cache().get("i1", stored));
  EXPECT_NE(0, cache().get("i9", stored));
  Channel never;
  EXPECT_NE(0, cache().get("c4", never));
  EXPECT_EQ("b3.xml", text("RuntimeValues.AppSyncAnchor"));

  // The kept channel is asked for again with its stored anchor.
  clearRequestLog();
  ASSERT_EQ(0, update()) << lastOut;
  ASSERT_FALSE(requests().empty());
  const std::string body = requests()[0].body;
  const std::string::size_type at = body.find("id=\\\"c1\\\"");
  ASSERT_NE(std::string::npos, at) << body;
  const std::string tag = body.substr(body.rfind('<', at), body.find('>', at) - body.rfind('<', at));
  EXPECT_NE(std::string::npos, tag.find("sync-anchor=\\\"1\\\"")) << tag;
}

// Titles with markup characters come as CDATA sections; they are stored as
// the text they hold, and the channel with them.
TEST_F(Flp2UpdateTest, ACdataTitleIsStored) {
  writeFile(root + "/content-update-response.xml",
            answer("sync-anchor=\"x\" update-ttl=\"60\" absent-mode=\"remove\"",
                   "<content-set id=\"c1\" name=\"feed\" sync-anchor=\"1\" container=\"container1\" "
                   "absent-mode=\"remove\"><content name=\"title\"><![CDATA[News & Views]]></content>"
                   "<content name=\"layout\">cs</content><content-set id=\"i1\" name=\"item\"><content "
                   "name=\"title\">Ferries <![CDATA[&]]> <![CDATA[<trains>]]></content></content-set>"
                   "</content-set>"));
  start();
  ASSERT_EQ(0, update()) << lastOut;
  EXPECT_EQ((Ids{"c1"}), containerChannels());
  Channel channel;
  ASSERT_EQ(0, cache().get("c1", channel));
  EXPECT_EQ(L"News & Views", channel.getTitle());
  Item item;
  ASSERT_EQ(0, cache().get("i1", item));
  EXPECT_EQ(L"Ferries & <trains>", item.getTitle());
}

TEST_F(Flp2UpdateTest, FallbacksAndAnswersThatFail) {
  const std::string good =
      answer("sync-anchor=\"good\" update-ttl=\"60\" absent-mode=\"remove\"", feed("c1", "1", item("i1")));
  writeFile(root + "/content-update-response.xml", good);
  start();
  ASSERT_EQ(0, update());
  ASSERT_EQ((Ids{"c1"}), containerChannels());
  clearRequestLog();

  struct Case {
    const char* what;
    std::string fallbackCodes;
    std::string rules;
    std::string answerFile;  // the answer to the next update ("good" is the stored anchor)
    int code;
  };
  const Case cases[] = {
      {"HTTP 503 listed", "404,503", "[kind content-update]\nstatus 503\n", good, WRONG_VERSION},
      {"HTTP 503 not listed", "404", "[kind content-update]\nstatus 503\n", good, FAILED},
      {"status 505, not listed: a DCD-level error", "", "", "<dcd><status><result code=\"505\"/></status></dcd>",
       FAILED},
      {"status 505 listed", "505", "", "<dcd><status><result code=\"505\"/></status></dcd>", WRONG_VERSION},
      {"result code listed", "409", "",
       "<dcd><content-update-response><result code=\"409\"/></content-update-response></dcd>", WRONG_VERSION},
      {"empty body", "", "[kind content-update]\nbody-text\n", good, FAILED},
      {"not XML", "", "", "this is not XML", FAILED},
      {"no application", "", "", "<dcd><content-update-response/></dcd>", FAILED},
      {"another application", "", "",
       "<dcd><content-update-response><application id=\"urn:other\" name=\"NewsReader\" sync-anchor=\"x\" "
       "absent-mode=\"remove\">" +
           feed("evil", "1", item("e1")) + "</application></content-update-response></dcd>",
       FAILED},
      {"application without sync anchor", "", "",
       "<dcd><content-update-response><application id=\"x-oma-kestrova:quorvel.ua\" name=\"NewsReader\" "
       "absent-mode=\"remove\">" +
           feed("evil", "1", item("e1")) + "</application></content-update-response></dcd>",
       FAILED},
      {"negative update-ttl", "", "",
       answer("sync-anchor=\"x\" update-ttl=\"-5\" absent-mode=\"remove\"", feed("evil", "1", item("e1"))), FAILED},
      {"no absent mode", "", "", answer("sync-anchor=\"x\" update-ttl=\"5\"", feed("evil", "1", item("e1"))), FAILED},
      {"all channels malformed", "", "",
       answer("sync-anchor=\"x\" update-ttl=\"5\" absent-mode=\"remove\"",
              "<content-set id=\"evil\" name=\"feed\" absent-mode=\"remove\"/>" +
                  feed("evil2", "1", "<content name=\"layout\">list</content>") +
                  feed("evil3", "1", item("e1", "<content name=\"displaycount\">-3</content>"))),
       FAILED},
  };
  for (const Case& c : cases) {
    setText(1, "flp20.FallbackHttpCode", c.fallbackCodes);
    setRules(c.rules);
    writeFile(root + "/good", c.answerFile);
    EXPECT_EQ(c.code, update()) << c.what << "\n" << lastOut;
    // Nothing of the answer was stored.
    EXPECT_EQ((Ids{"c1"}), containerChannels()) << c.what;
    EXPECT_EQ((Ids{"i1"}), channelItems("c1")) << c.what;
    Channel evil;
    EXPECT_NE(0, cache().get("evil", evil)) << c.what;
    EXPECT_EQ("good", text("RuntimeValues.AppSyncAnchor")) << c.what;
    const char* names[] = {"SUCCESS", "FAILED", "CANCELLED", "WRONG_VERSION"};
    EXPECT_EQ(names[c.code], text("RuntimeValues.LastUpdateResult")) << c.what;
  }

  // A pushed-message trigger cannot be sent as a content update.
  clearRequestLog();
  setRules("");
  EXPECT_EQ(FAILED, update("ds"));
  EXPECT_TRUE(requests().empty());

  // An application without update-ttl: never update again (-1); the
  // daemon still serves.
  writeFile(root + "/good", answer("sync-anchor=\"good\" absent-mode=\"remove\"", feed("c1", "2", item("i9"))));
  EXPECT_EQ(0, update());
  EXPECT_EQ(-1, number("RuntimeValues.NextUpdateTime"));
  EXPECT_EQ((Ids{"i9"}), channelItems("c1"));
  EXPECT_TRUE(daemon->running());
}

TEST_F(Flp2UpdateTest, AssetOptionsRetriesAndUntrustedParts) {
  useSamples();
  // A multipart answer that also carries a part nobody asked for.
  writeFile(root + "/evil.mime",
            "--b1\r\nContent-Type: text/plain\r\nContent-Id: not-requested\r\n\r\nintruder\r\n--b1--\r\n");
  setBool("EnableType3Req", false);
  start();
  ASSERT_EQ(0, update()) << lastOut;
  // No requests by URL; the assets by id all arrived.
  auto got = assets();
  EXPECT_EQ(0u, got.count("img-harbour"));
  EXPECT_EQ(0u, got.count("tpl-weather"));
  EXPECT_EQ(7u, got.size());
  for (const std::string& kind : requestKinds()) EXPECT_EQ(std::string::npos, kind.find("data-by-url")) << kind;

  // A retry of the download phase: no content update; URL assets allowed
  // now; assets already stored are not asked for again.
  setBool("EnableType3Req", true);
  clearRequestLog();
  ASSERT_EQ(0, nrctl({"retry", "flp20", "--type", "data", "--trigger", "man", "--wait", "--timeout", "30"})) << lastOut;
  EXPECT_EQ((std::vector<std::string>{"data-by-url /media/harbour.png", "data-by-url /templates/weather.xhtml"}),
            requestKinds());
  EXPECT_EQ(9u, assets().size());
  ES_EventRecord r = response();
  r = response();
  EXPECT_EQ("data", prop(r, "type"));

  // An answer cannot write an asset it was not asked for.
  ASSERT_EQ(0, cache().removeAsset("logo-world.gif"));
  setRules("[kind data-by-ids]\nheader Content-Type: multipart/mixed; boundary=b1\nbody evil.mime\n");
  ASSERT_EQ(0, nrctl({"retry", "flp20", "--type", "data", "--trigger", "man", "--wait", "--timeout", "30"})) << lastOut;
  got = assets();
  EXPECT_EQ(0u, got.count("not-requested"));
  EXPECT_EQ(0u, got.count("logo-world.gif"));
}

// Servers write a part's Content-Id as RFC 2392 does, in angle brackets:
// the part is the asset asked for, stored under its id, and not asked for
// again.
TEST_F(Flp2UpdateTest, APartWithABracketedContentIdIsSaved) {
  useSamples();
  writeFile(root + "/bracketed.mime",
            "--b1\r\nContent-Type: image/gif\r\nContent-Id: <logo-world.gif>\r\n\r\nGIF89a-world\r\n"
            "--b1\r\nContent-Type: text/plain\r\nContent-Id: <not-requested>\r\n\r\nintruder\r\n--b1--\r\n");
  start();
  ASSERT_EQ(0, update()) << lastOut;
  ASSERT_EQ(0, cache().removeAsset("logo-world.gif"));

  setRules("[kind data-by-ids]\nheader Content-Type: multipart/mixed; boundary=b1\nbody bracketed.mime\n");
  clearRequestLog();
  ASSERT_EQ(0, nrctl({"retry", "flp20", "--type", "data", "--trigger", "man", "--wait", "--timeout", "30"})) << lastOut;
  EXPECT_EQ((std::vector<std::string>{"data-by-ids logo-world.gif"}), requestKinds());
  auto got = assets();
  EXPECT_EQ(1u, got.count("logo-world.gif"));
  EXPECT_EQ("image/gif", got["logo-world.gif"]);
  EXPECT_EQ(0u, got.count("<logo-world.gif>"));
  EXPECT_EQ(0u, got.count("not-requested"));
  EXPECT_EQ(0u, got.count("<not-requested>"));

  setRules("");
  clearRequestLog();
  ASSERT_EQ(0, nrctl({"retry", "flp20", "--type", "data", "--trigger", "man", "--wait", "--timeout", "30"})) << lastOut;
  EXPECT_TRUE(requestKinds().empty());
}

TEST_F(Flp2UpdateTest, CancelDuringTheContentExchangeAndDuringTheAssets) {
  useSamples();
  setRules("[kind content-update]\ndelay 20000\n");
  start();
  // During the content exchange: nothing stored.
  qvtest::Process waiting(kNrctl, {"update", "flp20", "--trigger", "man", "--wait", "--timeout", "30"}, dir,
                          {{"QUORVEL_HOME", home}, {"QUORVEL_BUS_ADDRESS", bus.address()}});
  ASSERT_TRUE(recorder
                  .waitFor(PROTOCOL_TOPIC_REPORTSTATUS, 10000,
                           [](const ES_EventRecord& e) { return prop(e, "status") == "downloading"; })
                  .has_value());
  for (int i = 0; i < 500 && requests().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(0, nrctl({"cancel"}));
  EXPECT_EQ(CANCELLED, waiting.wait(30000)) << waiting.out();
  EXPECT_TRUE(containerChannels().empty());
  EXPECT_TRUE(cache().listItemIds().empty());
  EXPECT_EQ("", text("RuntimeValues.AppSyncAnchor"));
  EXPECT_EQ("CANCELLED", text("RuntimeValues.LastUpdateResult"));

  // During the assets: the second by-ids answer stalls; the content and the
  // assets before it are whole, the stalled one is not stored.
  setRules("[kind data-by-ids]\nnext\ndrip 1 20000\n");
  clearRequestLog();
  qvtest::Process waiting2(kNrctl, {"update", "flp20", "--trigger", "man", "--wait", "--timeout", "30"}, dir,
                           {{"QUORVEL_HOME", home}, {"QUORVEL_BUS_ADDRESS", bus.address()}});
  for (int i = 0; i < 1000; ++i) {
    int byIds = 0;
    for (const LoggedRequest& r : requests()) byIds += r.kind == "data-by-ids" ? 1 : 0;
    if (byIds >= 2) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(0, nrctl({"cancel"}));
  EXPECT_EQ(CANCELLED, waiting2.wait(30000)) << waiting2.out();
  EXPECT_EQ((Ids{"ch-world", "ch-sport", "ch-weather"}), containerChannels());
  EXPECT_EQ(7u, cache().listItemIds().size());
  auto got = assets();
  EXPECT_EQ(1u, got.count("ex-s1.xhtml"));    // the first batch
  EXPECT_EQ(0u, got.count("img-talks.png"));  // the stalled one
  EXPECT_EQ("CANCELLED", text("RuntimeValues.LastUpdateResult"));

  // The next update works and fetches what is still missing.
  setRules("");
  ASSERT_EQ(0, nrctl({"retry", "flp20", "--type", "data", "--trigger", "man", "--wait", "--timeout", "30"}));
  EXPECT_EQ(9u, assets().size());
}

}  // namespace
