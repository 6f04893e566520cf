// Server notifications pushed to the real flp2svc with nrctl: content
// updates they start, system messages fetched from nr-testserver that
// change the phone mode or the settings, and pushes that are refused, each
// answered with its response value.
#include <functional>
#include <string>
#include <vector>

#include "Flp2SessionHarness.h"

namespace {

using Kinds = std::vector<std::string>;
using flp2it::kSamples;

class Flp2PushTest : public flp2it::Flp2Daemon {
 protected:
  // The channels of the sample content, stored by a first update.
  void storeSampleChannels() {
    ASSERT_EQ(0, update("flp20")) << lastOut;
    clearRequestLog();
  }
};

std::string notify(const std::string& attributes, const std::string& children = "") {
  return "<dcd version=\"0.8\"><notify " + attributes + ">" + children + "</notify></dcd>";
}

std::string getAnswer(const std::string& details) {
  return "<dcd version=\"0.8\"><get-response><result code=\"200\"/><system-messages>" + details +
         "</system-messages></get-response></dcd>";
}

std::string extBlock(const std::string& block) {
  return "<detail code=\"200\"><ext-block>" + block + "</ext-block></detail>";
}

std::string settingsBlock(const std::string& properties) {
  return "<settings operator=\"op\">" + properties + "</settings>";
}

TEST_F(Flp2PushTest, ContentUpdateNotificationsUpdateEveryStoredChannel) {
  useSamples();
  useRules("session/session.rules");
  start();
  storeSampleChannels();
  for (const char* sample : {"notifications/update-channels.xml", "notifications/update-all.xml"}) {
    const std::vector<qvTypes::ID> stored = storedChannels();
    ASSERT_FALSE(stored.empty());
    clearRequestLog();
    EXPECT_EQ(0, pushFile("flp20", kSamples + "/" + sample)) << sample << "\n" << lastOut;
    std::vector<flp2it::LoggedRequest> log = requests();
    ASSERT_FALSE(log.empty()) << sample;
    EXPECT_EQ("content-update", log[0].kind) << sample;
    EXPECT_NE(std::string::npos, log[0].body.find("request-trigger=\"svr\"")) << log[0].body;
    for (const qvTypes::ID& channel : stored)
      EXPECT_NE(std::string::npos, log[0].body.find("id=\"" + channel + "\"")) << sample << " " << channel;
  }
  // The response of a push names it as such.
  std::optional<ES_EventRecord> r;
  do {
    r = response();
  } while (r && flp2it::prop(*r, "trigger") != "push_message");
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ("0", flp2it::value(*r));
  EXPECT_EQ("push_message", flp2it::prop(*r, "type"));

  // The session engine checks its session before a pushed update too.
  clearRequestLog();
  EXPECT_EQ(0, pushFile("flp20_s", kSamples + "/notifications/update-all.xml")) << lastOut;
  EXPECT_EQ((Kinds{"service-registration", "content-update"}), exchanges());
  EXPECT_EQ("DEMO-SESSION-0001", requests()[1].sessionHeader);
}

TEST_F(Flp2PushTest, NotificationsAndTheirResponseValues) {
  useSamples();
  start();
  const std::string good = "<property name=\"QVCore.DCD.flp20.MaxAssetsType2\" value=\"7\" type=\"int\"/>";
  struct Case {
    const char* what;
    std::function<void()> configure;  // settings, rules, get answer
    std::function<int()> push;
    int result;
    Kinds exchanges;
    std::function<void()> check;
  };
  const auto file = [this](const char* sample, const std::string& type = flp2it::kDcdType) {
    return [this, sample, type] { return pushFile("flp20", kSamples + "/" + sample, type); };
  };
  const auto pushBody = [this](const std::string& body) { return [this, body] { return pushText("flp20", body); }; };
  const auto answerGet = [this](const std::string& body) {
    return [this, body] { writeFile(root + "/get-response.xml", body); };
  };
  const auto nothing = [] {};
  const auto modeIs = [](const char* mode) { return [mode] { EXPECT_EQ(mode, text(8, "EnabledMode")); }; };
  const auto assetsAre = [](int n) { return [n] { EXPECT_EQ(n, number("flp20.MaxAssetsType2")); }; };
  const Case cases[] = {
      {"wrong content type", nothing, file("notifications/update-all.xml", "text/plain"), 1, {}, nothing},
      {"not XML", nothing, pushBody("update now"), 1, {}, nothing},
      {"unknown action", nothing, pushBody(notify("action=\"reboot\"")), 1, {}, nothing},
      {"content sets without id or anchor",
       nothing,
       pushBody(notify("action=\"contentupdate\"", "<content-set sync-anchor=\"1\"/><content-set id=\"ch-world\"/>")),
       0,
       {"content-update"},
       nothing},
      {"server requests disabled",
       [] { setBool(1, "EnableServerReq", false); },
       file("notifications/update-all.xml"),
       1,
       {},
       [] { setBool(1, "EnableServerReq", true); }},
      {"provisioning ignored",
       [] { setBool(1, "IgnoreProv", true); },
       file("notifications/provisioning.xml"),
       1,
       {},
       [] { setBool(1, "IgnoreProv", false); }},
      {"phone mode sample",
       [this] { useRules("notifications/phone-mode.rules"); },
       file("notifications/phone-mode.xml"),
       0,
       {"get"},
       modeIs("HIDDEN_MODE")},
      {"phone mode of another application",
       answerGet(getAnswer(extBlock("<wap-provisioningdoc><characteristic type=\"APPLICATION\"><parm name=\"APPID\" "
                                    "value=\"w123\"/><parm name=\"APROTOCOL\" value=\"ON\"/></characteristic>"
                                    "</wap-provisioningdoc>"))),
       file("notifications/phone-mode.xml"),
       1,
       {"get"},
       modeIs("HIDDEN_MODE")},
      {"provisioning sample",
       [this] { useRules("notifications/provisioning.rules"); },
       file("notifications/provisioning.xml"),
       0,
       {"get"},
       [] {
         EXPECT_EQ(5, number("flp20.MaxAssetsType2"));
         EXPECT_EQ(20000, number("BetweenNetReq"));
         EXPECT_EQ("http://news.example/add", text(10, "AddNewChannelURL"));
       }},
      {"a good and a malformed property",
       answerGet(getAnswer(extBlock(settingsBlock("<property name=\"QVCore.DCD.Timeout\" type=\"int\"/>" + good)))),
       file("notifications/provisioning.xml"),
       0,
       {"get"},
       assetsAre(7)},
      {"the only setting cannot be applied",
       answerGet(getAnswer(extBlock(settingsBlock("<property name=\"QVCore.DCD.flp20.MaxAssetsType2\" value=\"1,2\" "
                                                  "type=\"intarray\"/>")))),
       file("notifications/provisioning.xml"),
       1,
       {"get"},
       assetsAre(7)},
      {"two system messages",
       answerGet(getAnswer(extBlock(settingsBlock(good)) + extBlock(settingsBlock(good)))),
       file("notifications/provisioning.xml"),
       1,
       {"get"},
       nothing},
      {"a get answer that is not well-formed",
       answerGet(getAnswer("<detail code=\"200\"><ext-block><settings operator=\"o\">" + good +
                           "<property name=\"x\" value=\"1\" type=\"int\"></wrong></settings>"
                           "</ext-block></detail>")),
       file("notifications/provisioning.xml"),
       1,
       {"get"},
       nothing},
  };
  for (const Case& c : cases) {
    setRules("");
    c.configure();
    clearRequestLog();
    EXPECT_EQ(c.result, c.push()) << c.what << "\n" << lastOut;
    EXPECT_EQ(c.exchanges, exchanges()) << c.what;
    c.check();
  }
  EXPECT_TRUE(daemon->running());
}

// A system notification whose href names another origin: the fetch would
// carry the session id and the subscriber's number there, and its answer
// would switch the phone mode. It is refused; nothing is sent anywhere.
TEST_F(Flp2PushTest, ASystemMessageIsFetchedFromTheConfiguredOriginOnly) {
  useSamples();
  useRules("notifications/phone-mode.rules");
  start();
  setBool(1, "Transport.IsMsisdnReported", true);
  setText(12, "MSISDN", "+4917000");
  const std::string before = text(8, "EnabledMode");

  // Another host, here another port of the loopback, ready to answer.
  writeFile(dir + "/rules-other", qvtest::readFile(kSamples + "/notifications/phone-mode.rules"));
  qvtest::Process other(flp2it::kServer,
                        {"--root", root, "--port", "0", "--log", dir + "/other.jsonl", "--rules", dir + "/rules-other"},
                        dir);
  ASSERT_TRUE(other.waitForOutput("\n")) << other.err();
  const std::string otherAddress = "http://127.0.0.1:" + std::to_string(std::stoi(other.out()));
  const std::string own = flp2it::Flp2Daemon::text(1, "flp20.ServerURL");
  const std::string ownOrigin = own.substr(0, own.find('/', 7));

  for (const std::string& href : {otherAddress + "/dcd", "https://" + ownOrigin.substr(7) + "/dcd",
                                  ownOrigin + "@evil.example/dcd"}) {
    clearRequestLog();
    EXPECT_EQ(1, pushText("flp20", notify("action=\"system\" href=\"" + href + "\""))) << href << "\n" << lastOut;
    EXPECT_TRUE(requests().empty()) << href;
    EXPECT_EQ("", qvtest::readFile(dir + "/other.jsonl")) << href;
    EXPECT_EQ(before, text(8, "EnabledMode")) << href;
  }
  EXPECT_NE(std::string::npos, allDaemonOutput().find("Refusing to fetch the system message from " + otherAddress));

  // An href on the server's own origin (another path) is followed.
  clearRequestLog();
  EXPECT_EQ(0, pushText("flp20", notify("action=\"system\" href=\"" + ownOrigin + "/system\""))) << lastOut;
  EXPECT_EQ((Kinds{"get"}), exchanges());
  EXPECT_EQ("HIDDEN_MODE", text(8, "EnabledMode"));
}

}  // namespace
