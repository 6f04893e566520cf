// "flp20_s" in the real flp2svc against nr-testserver: registration, the
// session kept across restarts, the session error and its one repeat,
// registrations that fail, and the network rule.
#include <string>
#include <vector>

#include "Flp2SessionHarness.h"
#include "platform/NR_Constants.h"

namespace {

using Kinds = std::vector<std::string>;
const std::string kGranted = "DEMO-SESSION-0001";  // samples/flp2/session/service-registration-response.xml

class Flp2SessionTest : public flp2it::Flp2Daemon {};

TEST_F(Flp2SessionTest, RegistersOnceAndKeepsTheSessionAcrossARestart) {
  useSamples();
  useRules("session/session.rules");
  ASSERT_EQ(0, settings().setString(12, "MSISDN", L"+4917000"));
  start();
  ASSERT_EQ(0, update("flp20_s")) << lastOut << allDaemonOutput();

  std::vector<flp2it::LoggedRequest> log = requests();
  ASSERT_EQ((Kinds{"service-registration", "content-update"}), exchanges());
  const flp2it::LoggedRequest& registration = log[0];
  EXPECT_EQ("<none>", registration.sessionHeader);
  for (const char* attribute : {"client-msisdn=\"+4917000\"", "application-id=\"x-oma-kestrova:quorvel.ua\"",
                                "encryption=\"false\"", "<client-id", "subscriber-id=\"\"", "device-id=\"\""})
    EXPECT_NE(std::string::npos, registration.body.find(attribute)) << attribute << "\n" << registration.body;
  EXPECT_EQ(kGranted, storedSession());
  EXPECT_EQ(kGranted, log[1].sessionHeader);
  EXPECT_NE(std::string::npos, log[1].body.find("sid=\"" + kGranted + "\"")) << log[1].body;
  // Data requests of the same update carry the session too.
  for (const flp2it::LoggedRequest& r : log)
    EXPECT_EQ(r.kind == "service-registration" ? "<none>" : kGranted, r.sessionHeader);

  // The session outlives the daemon: no registration after a restart.
  stopDaemon();
  startDaemon();
  clearRequestLog();
  ASSERT_EQ(0, update("flp20_s")) << lastOut;
  EXPECT_EQ((Kinds{"content-update"}), exchanges());
  EXPECT_EQ(kGranted, requests()[0].sessionHeader);
  EXPECT_EQ(kGranted, storedSession());

  // A credential: the daemon wrote that a session arrived, never the id.
  stopDaemon();
  EXPECT_NE(std::string::npos, daemonOutput.find("Got a session id from the server")) << daemonOutput;
  EXPECT_EQ(std::string::npos, daemonOutput.find(kGranted));
}

TEST_F(Flp2SessionTest, ASessionErrorRegistersOnceAndRepeatsTheUpdateOnce) {
  useSamples();
  useRules("session/session-expired.rules");
  writeSession("OLD-SESSION-9");
  start();
  ASSERT_EQ(0, update("flp20_s")) << lastOut << allDaemonOutput();
  std::vector<flp2it::LoggedRequest> log = requests();
  ASSERT_EQ((Kinds{"content-update", "service-registration", "content-update"}), exchanges());
  EXPECT_EQ("OLD-SESSION-9", log[0].sessionHeader);
  EXPECT_EQ(kGranted, log[2].sessionHeader);
  EXPECT_EQ(kGranted, storedSession());
  auto first = response();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ("0", flp2it::value(*first));

  // Refused again after the new registration: the session error is the
  // answer, and there is no third content update.
  setRules(qvtest::readFile(flp2it::kSamples + "/session/session.rules") +
           "[kind content-update]\nbody session/session-expired.xml\n");
  clearRequestLog();
  update("flp20_s");
  auto second = response();
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ("4", flp2it::value(*second));
  EXPECT_EQ("man", flp2it::prop(*second, "trigger"));
  EXPECT_EQ((Kinds{"content-update", "service-registration", "content-update"}), exchanges());
  EXPECT_EQ("", storedSession());
  EXPECT_TRUE(daemon->running());
}

TEST_F(Flp2SessionTest, AFailedRegistrationSendsNoUpdateAndStoresNothing) {
  const auto granting = [](const std::string& attributes) {
    return "<dcd version=\"0.8\"><service-registration-response " + attributes +
           "><result code=\"200\"/></service-registration-response></dcd>";
  };
  struct Case {
    const char* what;
    std::string fallbackCodes;
    std::string rules;
    std::string answer;  // the registration answer file
  };
  const Case cases[] = {
      {"status 505", "", "", "<dcd><status><result code=\"505\"/></status></dcd>"},
      {"listed fallback HTTP code", "404,503", "[kind service-registration]\nstatus 503\n", granting("sid=\"S-1\"")},
      {"no session id", "", "", granting("tid=\"0\"")},
      {"a session id with a line break", "", "", granting("sid=\"S&#13;&#10;X-Evil: 1\"")},
      {"a session id of absurd length", "", "", granting("sid=\"" + std::string(5000, 'S') + "\"")},
      {"not XML", "", "", "registered!"},
  };
  useSamples();
  start();
  for (const Case& c : cases) {
    setText(1, "flp20.FallbackHttpCode", c.fallbackCodes);
    setRules(c.rules);
    writeFile(root + "/service-registration-response.xml", c.answer);
    clearRequestLog();
    EXPECT_EQ(FAILED, update("flp20_s")) << c.what << "\n" << lastOut;
    EXPECT_EQ((Kinds{"service-registration"}), exchanges()) << c.what;
    EXPECT_EQ("", storedSession()) << c.what;
  }
  EXPECT_TRUE(daemon->running());
}

TEST_F(Flp2SessionTest, WithoutNetworkAccessOnlyAManualRequestRegisters) {
  useSamples();
  useRules("session/session.rules");
  setBool(12, "NetworkAccessAllowed", false);
  start();
  EXPECT_EQ(FAILED, update("flp20_s", "ttl"));
  auto networkError = recorder.waitFor(NR_Constants::EVENT_NOTIFY_NETWORK_ERROR, 10000);
  ASSERT_TRUE(networkError.has_value());
  EXPECT_EQ("0", flp2it::value(*networkError));
  EXPECT_TRUE(requests().empty());
  EXPECT_EQ("", storedSession());

  ASSERT_EQ(0, update("flp20_s", "man")) << lastOut;
  EXPECT_EQ((Kinds{"service-registration", "content-update"}), exchanges());
  EXPECT_EQ(kGranted, storedSession());
}

TEST_F(Flp2SessionTest, NrctlShowsAndClearsTheStoredSession) {
  EXPECT_EQ(0, nrctl({"session"}));
  EXPECT_EQ("session file: " + sessionFile + "\nsession id: (none)\n", lastOut);
  writeSession("Visible-1");
  EXPECT_EQ(0, nrctl({"session", "show"}));
  EXPECT_NE(std::string::npos, lastOut.find("session id: Visible-1\n")) << lastOut;
  EXPECT_EQ(0, nrctl({"session", "clear"}));
  EXPECT_EQ("", storedSession());
  EXPECT_EQ(2, nrctl({"session", "drop"}));
}

// An asset URL in the server's answer may name any host: the session id and
// the MSISDN go only to the configured server's origin; the asset is still
// fetched and stored.
TEST_F(Flp2SessionTest, AnAssetOnAnotherOriginIsFetchedWithoutTheCredentials) {
  useSamples();
  useRules("session/session.rules");
  ASSERT_EQ(0, settings().setString(12, "MSISDN", L"+4917000"));
  setBool(1, "Transport.IsMsisdnReported", true);
  writeFile(dir + "/rules-other", "");
  qvtest::Process other(flp2it::kServer,
                        {"--root", root, "--port", "0", "--log", dir + "/other.jsonl", "--rules", dir + "/rules-other"},
                        dir);
  ASSERT_TRUE(other.waitForOutput("\n")) << other.err();
  const std::string otherAddress = "http://127.0.0.1:" + std::to_string(std::stoi(other.out()));
  std::string answer = qvtest::readFile(root + "/content-update-response.xml");
  const std::string harbour = "${SERVER}/media/harbour.png";
  ASSERT_NE(std::string::npos, answer.find(harbour));
  answer.replace(answer.find(harbour), harbour.size(), otherAddress + "/media/harbour.png");
  writeFile(root + "/content-update-response.xml", answer);
  start();
  ASSERT_EQ(0, update("flp20_s")) << lastOut << allDaemonOutput();

  const std::string otherLog = qvtest::readFile(dir + "/other.jsonl");
  EXPECT_NE(std::string::npos, otherLog.find("\"path\":\"/media/harbour.png\"")) << otherLog;
  for (const char* credential : {"Session-ID", "MSISDN", "+4917000", "DEMO-SESSION-0001"})
    EXPECT_EQ(std::string::npos, otherLog.find(credential)) << credential << "\n" << otherLog;
  std::string path;
  EXPECT_EQ(0, NR_ContentCache::getInstance()->getPath("img-harbour", path));
  // The server itself still gets them with every request of the session.
  const std::vector<flp2it::LoggedRequest> log = requests();
  ASSERT_GT(log.size(), 2u);
  for (const flp2it::LoggedRequest& r : log) {
    if (r.kind != "service-registration") {
      EXPECT_EQ(kGranted, r.sessionHeader) << r.kind << " " << r.path;
    }
  }
}

}  // namespace
