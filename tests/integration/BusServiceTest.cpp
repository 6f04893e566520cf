// The daemons as conventional bus services on a private bus: well-known
// names, the com.kestrova.Quorvel.Service1 interface seen by busctl, an
// update run by a method call and followed in the properties and their
// PropertiesChanged signals, refused arguments, a second instance, and
// nrctl choosing the method call.
#include <algorithm>
#include <ctime>
#include <regex>

#include "Flp2SessionHarness.h"
#include "framework/ProtocolApp.h"
#include "platform/BusService.h"

namespace {

using flp2it::kFlp2;
const std::string kFlp1x = std::string(QV_BINARY_DIR) + "/flp1x/flp1xsvc";
const char* const kName = "com.kestrova.Quorvel.Flp2";
const char* const kPath = "/com/kestrova/Quorvel/Flp2";
const char* const kInterface = "com.kestrova.Quorvel.Service1";

class BusServiceTest : public flp2it::Flp2Daemon {
 protected:
  void SetUp() override {
    flp2it::Flp2Daemon::SetUp();
    std::string error;
    ASSERT_TRUE(client.open(error)) << error;
  }

  // busctl on the private bus: its exit status; its output in busctlOut.
  int busctl(std::vector<std::string> args) {
    args.insert(args.begin(), "--address=" + bus.address());
    qvtest::Process p("/usr/bin/busctl", args, dir);
    const int status = p.wait(30000);
    busctlOut = p.out() + p.err();
    return status;
  }
  int callFlp2(const std::vector<std::string>& methodAndArgs) {
    std::vector<std::string> args{"call", kName, kPath, kInterface};
    args.insert(args.end(), methodAndArgs.begin(), methodAndArgs.end());
    return busctl(args);
  }

  qvbus::PropertyValue get(const char* name, qvbus::PropertyKind kind) {
    qvbus::PropertyValue v;
    std::string error;
    EXPECT_TRUE(client.getProperty(kName, kPath, kInterface, name, kind, v, error)) << error;
    return v;
  }

  // A watcher of every PropertiesChanged signal on the bus, ready when
  // this returns.
  std::unique_ptr<qvtest::Process> watchProperties() {
    auto monitor = std::make_unique<qvtest::Process>(
        "/usr/bin/dbus-monitor",
        std::vector<std::string>{"--address", bus.address(),
                                 "type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged'"},
        dir);
    EXPECT_TRUE(monitor->waitForOutput("NameLost")) << monitor->err();
    return monitor;
  }
  // The values a property took, in the order the signals announced them.
  static std::vector<std::string> announced(const std::string& monitorOutput, const std::string& property) {
    std::vector<std::string> out;
    const std::regex entry("string \"" + property + "\"\\s*variant\\s*(?:string|int32|uint64)\\s*\"?([^\"\\s]*)");
    for (auto it = std::sregex_iterator(monitorOutput.begin(), monitorOutput.end(), entry); it != std::sregex_iterator();
         ++it) {
      out.push_back((*it)[1]);
    }
    return out;
  }

  qvbus::BusClient client;
  std::string busctlOut;
};

TEST_F(BusServiceTest, IntrospectionListsTheInterfaceOfBothDaemons) {
  useSamples();
  start();
  qvtest::Process flp1x(kFlp1x, {}, dir, env());
  ASSERT_TRUE(recorder.waitFor(PROTOCOL_TOPIC_STARTUP, 20000).has_value()) << flp1x.out() << flp1x.err();

  for (const char* service : {"Flp2", "Flp1x"}) {
    SCOPED_TRACE(service);
    const std::string name = std::string("com.kestrova.Quorvel.") + service;
    ASSERT_EQ(0, busctl({"introspect", name, std::string("/com/kestrova/Quorvel/") + service, kInterface}))
        << busctlOut;
    const char* const members[][3] = {
        {"Update", "method", "ss"},        {"Retry", "method", "sss"},        {"Push", "method", "ssay"},
        {"Cancel", "method", "-"},         {"Shutdown", "method", "s"},       {"Versions", "property", "as"},
        {"State", "property", "s"},        {"CurrentRequest", "property", "a\\{ss\\}"},
        {"LastResult", "property", "i"},   {"LastUpdate", "property", "t"},   {"NextUpdate", "property", "t"},
    };
    for (const auto& m : members) {
      EXPECT_TRUE(std::regex_search(busctlOut, std::regex(std::string("\\.") + m[0] + "\\s+" + m[1] + "\\s+" + m[2] + "\\s")))
          << m[0] << "\n" << busctlOut;
    }
  }
  EXPECT_NE(std::string::npos, busctlOut.find("\"flp1x\"")) << "Versions of flp1xsvc\n" << busctlOut;
  flp1x.signal(SIGTERM);
  EXPECT_EQ(0, flp1x.wait(20000));
}

TEST_F(BusServiceTest, AnUpdateByMethodCallIsAnsweredInEventsAndProperties) {
  useSamples();
  start();
  EXPECT_EQ("idle", get("State", qvbus::PropertyKind::STRING).text);
  EXPECT_EQ(-1, get("LastResult", qvbus::PropertyKind::INT32).number);
  EXPECT_EQ(0, get("LastUpdate", qvbus::PropertyKind::UINT64).number);
  auto monitor = watchProperties();

  const int64_t before = static_cast<int64_t>(std::time(nullptr));
  ASSERT_EQ(0, callFlp2({"Update", "ss", "flp20", "man"})) << busctlOut;
  auto answer = response();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ("man", flp2it::prop(*answer, "trigger"));
  EXPECT_EQ("0", flp2it::value(*answer));

  // The last change is announced after the response event.
  ASSERT_TRUE(monitor->waitForOutput("\"LastUpdate\"", 20000)) << monitor->out();
  EXPECT_EQ(0, get("LastResult", qvbus::PropertyKind::INT32).number);
  const int64_t lastUpdate = get("LastUpdate", qvbus::PropertyKind::UINT64).number;
  EXPECT_GE(lastUpdate, before);
  EXPECT_LE(lastUpdate, static_cast<int64_t>(std::time(nullptr)));
  EXPECT_EQ("idle", get("State", qvbus::PropertyKind::STRING).text);
  EXPECT_TRUE(get("CurrentRequest", qvbus::PropertyKind::STRING_MAP).map.empty());

  const std::string signals = monitor->out();
  std::vector<std::string> states = announced(signals, "State");
  ASSERT_GE(states.size(), 3u) << signals;
  EXPECT_EQ("connecting", states.front()) << signals;
  EXPECT_EQ("idle", states.back()) << signals;
  EXPECT_NE(states.end(), std::find(states.begin(), states.end(), "downloading")) << signals;
  EXPECT_EQ(std::vector<std::string>{"0"}, announced(signals, "LastResult")) << signals;
  EXPECT_NE(std::string::npos, signals.find("path=/com/kestrova/Quorvel/Flp2;")) << signals;

  // The server's update-ttl, when it sent one, sets NextUpdate.
  auto ttl = recorder.waitFor(PROTOCOL_TOPIC_TTLUPDATE, 0);
  if (ttl.has_value() && std::stol(flp2it::value(*ttl)) > 0) {
    EXPECT_GE(get("NextUpdate", qvbus::PropertyKind::UINT64).number, before + std::stol(flp2it::value(*ttl)));
  }
}

TEST_F(BusServiceTest, BadCallsAreRefusedOnTheWireAndTheServiceKeepsServing) {
  start();
  struct Case {
    const char* what;
    std::vector<qvbus::BusClient::Arg> args;
    const char* method;
    const char* fragment;
  };
  const Case cases[] = {
      {"wrong signature", {{'s', "flp20"}}, "Update", ""},
      {"wrong signature", {{'s', "flp20"}, {'s', "text/plain"}, {'s', "not bytes"}}, "Push", ""},
      {"version of another service", {{'s', "flp1x"}, {'s', "man"}}, "Update", "does not serve the version 'flp1x'"},
      {"huge version", {{'s', std::string(200000, 'v')}, {'s', "man"}}, "Update", "is too long"},
      {"payload over the bound",
       {{'s', "flp20"}, {'s', "text/plain"}, {'y', std::string(kMaxPushPayloadBytes + 1, 'p')}},
       "Push",
       "at most"},
      {"shutdown naming this service", {{'s', "flp20_s"}}, "Shutdown", "a shutdown ends only"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string name, message;
    EXPECT_FALSE(client.call(kName, kPath, kInterface, c.method, c.args, name, message));
    EXPECT_EQ(qvbus::kErrorInvalidArgs, name) << message;
    EXPECT_NE(std::string::npos, message.find(c.fragment)) << message;
  }
  // Still serving: an update by method is answered, and it is the only
  // answer.
  ASSERT_EQ(0, callFlp2({"Update", "ss", "flp20", "sim"})) << busctlOut;
  auto answer = response();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ("sim", flp2it::prop(*answer, "trigger"));
  ASSERT_EQ(0, callFlp2({"Shutdown", "s", ""})) << busctlOut;
  EXPECT_EQ(0, daemon->wait(20000));
  int responses = 0;
  for (const ES_EventRecord& e : recorder.events()) responses += e.topic == PROTOCOL_TOPIC_RESPONSE;
  EXPECT_EQ(1, responses);
}

TEST_F(BusServiceTest, ASecondInstanceIsRefusedTheName) {
  start();
  qvtest::Process second(kFlp2, {}, dir, env());
  EXPECT_EQ(1, second.wait(20000));
  EXPECT_EQ("flp2svc: another instance owns the bus name com.kestrova.Quorvel.Flp2\n", second.err());
  EXPECT_EQ(std::string::npos, second.out().find("initEvents")) << "it left before subscribing";
  // The first one still owns the name and answers.
  EXPECT_EQ("idle", get("State", qvbus::PropertyKind::STRING).text);
}

TEST_F(BusServiceTest, NrctlCallsTheMethodWhenTheNameIsOnTheBus) {
  useSamples();
  start();
  ASSERT_EQ(0, update("flp20")) << lastOut;
  EXPECT_NE(std::string::npos, daemon->out().find("Method call:Update")) << daemon->out();
  EXPECT_EQ(std::string::npos, daemon->out().find("Receive event:/kestrova/quorvel/newsreader/protocol/update"));

  // Refused arguments: the reason, and status 1.
  EXPECT_EQ(1, nrctl({"update", "flp20", "--trigger", "often"}));
  // --event sends the event even so.
  EXPECT_EQ(0, nrctl({"update", "flp20", "--event", "--wait", "--timeout", "30"})) << lastOut;
  EXPECT_NE(std::string::npos, daemon->out().find("Receive event:/kestrova/quorvel/newsreader/protocol/update"));

  ASSERT_EQ(0, nrctl({"status"})) << lastOut;
  EXPECT_NE(std::string::npos, lastOut.find("service flp2svc: idle; last result 0 at ")) << lastOut;
}

}  // namespace
