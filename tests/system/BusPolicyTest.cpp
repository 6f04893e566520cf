// Who may drive a service over the bus. A sender of another user (nrctl run
// as nobody through setpriv) is stopped by the shipped bus policy at the bus,
// and by the service's own sender check on a bus without the policy; a
// member of the trusted group gets through. Needs root (to change user);
// skipped otherwise.
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "PrivateBus.h"
#include "platform/EventService.h"
#include "Process.h"
#include "framework/Protocol.h"

namespace {

namespace fs = std::filesystem;

const std::string kFlp2 = std::string(QV_BINARY_DIR) + "/flp2/flp2svc";
const std::string kNrctl = std::string(QV_BINARY_DIR) + "/tools/nrctl";
const std::string kPolicy = std::string(QV_SOURCE_DIR) + "/dbus/com.kestrova.Quorvel.conf";
const char* const kSetpriv = "/usr/bin/setpriv";

int countOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A bus daemon with the default policy of a system bus, with or without the
// shipped policy file.
class SystemLikeBus {
 public:
  SystemLikeBus(const std::string& dir, bool withPolicy) {
    const std::string config = dir + "/system-bus.conf";
    std::ofstream(config)
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n  <type>system</type>\n  <listen>unix:path="
        << dir
        << "/system-bus</listen>\n  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow user=\"*\"/>\n"
           "    <deny own=\"*\"/>\n"
           "    <deny send_type=\"method_call\"/>\n"
           "    <allow send_type=\"signal\"/>\n"
           "    <allow send_requested_reply=\"true\" send_type=\"method_return\"/>\n"
           "    <allow send_requested_reply=\"true\" send_type=\"error\"/>\n"
           "    <allow receive_type=\"method_call\"/>\n"
           "    <allow receive_type=\"method_return\"/>\n"
           "    <allow receive_type=\"error\"/>\n"
           "    <allow receive_type=\"signal\"/>\n"
           "    <allow send_destination=\"org.freedesktop.DBus\" send_interface=\"org.freedesktop.DBus\"/>\n"
           "  </policy>\n"
        << (withPolicy ? "  <include>" + kPolicy + "</include>\n" : std::string())
        // The daemons run as root here, standing in for the service user
        // that owns the names on a real system.
        << "  <policy user=\"root\"><allow own_prefix=\"com.kestrova.Quorvel\"/></policy>\n"
        << "</busconfig>\n";
    mDaemon = std::make_unique<qvtest::Process>(
        "/usr/bin/dbus-daemon", std::vector<std::string>{"--config-file=" + config, "--nofork", "--print-address=1"},
        dir);
    if (mDaemon->waitForOutput("\n")) mAddress = mDaemon->out().substr(0, mDaemon->out().find('\n'));
    if (!mAddress.empty()) setenv("QUORVEL_BUS_ADDRESS", mAddress.c_str(), 1);
  }
  ~SystemLikeBus() {
    // No connection of this process outlives the bus.
    ES_EventSubscriber::shutdown();
    unsetenv("QUORVEL_BUS_ADDRESS");
    mDaemon->signal(SIGTERM);
    mDaemon->wait();
  }
  const std::string& address() const { return mAddress; }
  std::string log() const { return mDaemon->err(); }

 private:
  std::unique_ptr<qvtest::Process> mDaemon;
  std::string mAddress;
};

class BusPolicyTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "changing the sender's user needs root";
    if (::access(kSetpriv, X_OK) != 0 || ::getpwnam("nobody") == nullptr) GTEST_SKIP() << "no setpriv or no nobody";
    dir = qvtest::makeTempDir("qvpolicy");
    ASSERT_FALSE(dir.empty());
    // The other user must reach the bus socket and its own copy of nrctl.
    ASSERT_EQ(0, ::chmod(dir.c_str(), 0755));
    fs::copy_file(kNrctl, dir + "/nrctl");
    home = dir + "/home";
  }
  void TearDown() override {
    daemon.reset();
    if (!dir.empty()) qvtest::removeTree(dir);
  }

  void startDaemon(const std::string& busAddress, const std::string& trustedGroup, qvtest::EventRecorder& recorder) {
    std::map<std::string, std::string> env{{"QUORVEL_HOME", home}, {"QUORVEL_BUS_ADDRESS", busAddress}};
    if (!trustedGroup.empty()) env["QUORVEL_TRUSTED_GROUP"] = trustedGroup;
    daemon = std::make_unique<qvtest::Process>(kFlp2, std::vector<std::string>{}, dir, env);
    ASSERT_TRUE(recorder.waitFor(PROTOCOL_TOPIC_STARTUP).has_value()) << daemon->out() << daemon->err();
  }

  // A pushed message with this body, sent by nobody or by root; the status
  // of nrctl.
  int push(const std::string& busAddress, bool asNobody, const std::string& body, bool wait) {
    // The event, not the method call: the sender rule of events is tested.
    std::vector<std::string> args{dir + "/nrctl", "push", "flp20", "--content-type", "text/plain", "-", "--event"};
    if (wait) args.insert(args.end(), {"--wait", "--timeout", "20"});
    if (asNobody) args.insert(args.begin(), {"--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"});
    qvtest::Process p(asNobody ? kSetpriv : args[0], std::vector<std::string>(args.begin() + (asNobody ? 0 : 1), args.end()),
                      dir, {{"QUORVEL_BUS_ADDRESS", busAddress}}, body);
    return p.wait(30000);
  }

  static std::vector<std::string> bodies(qvtest::EventRecorder& recorder, const std::string& topic) {
    std::vector<std::string> out;
    for (const ES_EventRecord& e : recorder.events()) {
      if (e.topic == topic) out.push_back(e.payload);
    }
    return out;
  }

  std::string dir;
  std::string home;
  std::unique_ptr<qvtest::Process> daemon;
};

TEST_F(BusPolicyTest, ShippedPolicyStopsOtherUsersAtTheBus) {
  SystemLikeBus bus(dir, true);
  ASSERT_FALSE(bus.address().empty()) << bus.log();
  qvtest::EventRecorder recorder("/kestrova/quorvel/newsreader/protocol");
  ASSERT_TRUE(recorder.ok()) << recorder.error();
  startDaemon(bus.address(), "", recorder);

  EXPECT_EQ(0, push(bus.address(), true, "from-nobody", false));
  EXPECT_LE(push(bus.address(), false, "from-root", true), 1) << "root is answered";
  ASSERT_TRUE(recorder.waitFor(PROTOCOL_TOPIC_RESPONSE).has_value());
  // The bus handled nobody's signal before root's: it reached no receiver,
  // this recorder included.
  EXPECT_EQ(std::vector<std::string>{"from-root"}, bodies(recorder, PROTOCOL_TOPIC_MESSAGE));
  EXPECT_EQ(1u, bodies(recorder, PROTOCOL_TOPIC_RESPONSE).size());
  EXPECT_EQ(std::string::npos, daemon->out().find("Dropping the event")) << "stopped before the service saw it";
  daemon.reset();
}

// Parameter: the service's trusted group. nobody's primary group is
// "nogroup"; "quorvel" is not one of its groups.
TEST_P(BusPolicyTest, WithoutThePolicyTheServiceChecksTheSender) {
  const std::string group = GetParam();
  const bool nobodyTrusted = group == "nogroup";
  SystemLikeBus bus(dir, false);
  ASSERT_FALSE(bus.address().empty()) << bus.log();
  qvtest::EventRecorder recorder("/kestrova/quorvel/newsreader/protocol");
  ASSERT_TRUE(recorder.ok()) << recorder.error();
  startDaemon(bus.address(), group, recorder);
  EXPECT_EQ(0, push(bus.address(), true, "from-nobody", false));
  // nrctl stayed on the bus after sending, so the service could check it;
  // it has handled (or dropped) the event by now. Root's goes next.
  EXPECT_LE(push(bus.address(), false, "from-root", true), 1) << "root is answered";
  // Root's answer is the last event on the bus: once the recorder has it, it
  // has everything before it.
  for (int i = 0; i < (nobodyTrusted ? 2 : 1); ++i) ASSERT_TRUE(recorder.waitFor(PROTOCOL_TOPIC_RESPONSE).has_value());
  const std::string out = daemon->out();
  EXPECT_EQ((std::vector<std::string>{"from-nobody", "from-root"}), bodies(recorder, PROTOCOL_TOPIC_MESSAGE))
      << "without the policy the bus lets both through";
  EXPECT_EQ(nobodyTrusted ? 2u : 1u, bodies(recorder, PROTOCOL_TOPIC_RESPONSE).size()) << out;
  const std::string received = "Receive event:/kestrova/quorvel/newsreader/protocol/message";
  EXPECT_EQ(nobodyTrusted ? 4 : 2, countOf(out, received)) << out;  // the trace line and the log line per event
  if (!nobodyTrusted) {
    EXPECT_EQ(1, countOf(out, "Dropping the event /kestrova/quorvel/newsreader/protocol/message from :")) << out;
    EXPECT_NE(std::string::npos, out.find("its user (uid 65534) is neither root, nor this service's user, nor in the group quorvel"))
        << out;
  }
  daemon.reset();
}

INSTANTIATE_TEST_SUITE_P(TrustedGroups, BusPolicyTest, ::testing::Values("quorvel", "nogroup"));

}  // namespace
