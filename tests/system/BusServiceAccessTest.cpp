// Who may call the services' methods, and the files that install the bus
// service. A caller of another user (busctl run as nobody through setpriv)
// is answered with AccessDenied by the service on a bus that lets every
// call through, and is stopped by the bus with the shipped policy; the
// activation files are checked offline: a bus daemon reads them, and they
// name the units and the user the package installs. The caller tests need
// root (to change user) and are skipped otherwise.
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>

#include "PrivateBus.h"
#include "Process.h"
#include "framework/Protocol.h"
#include "platform/EventService.h"

namespace {

namespace fs = std::filesystem;

const std::string kFlp2 = std::string(QV_BINARY_DIR) + "/flp2/flp2svc";
const std::string kSource = QV_SOURCE_DIR;
const std::string kPolicy = kSource + "/dbus/com.kestrova.Quorvel.conf";
const char* const kSetpriv = "/usr/bin/setpriv";
const char* const kBusctl = "/usr/bin/busctl";
const char* const kDbusSend = "/usr/bin/dbus-send";

// A bus daemon of its own in dir: "open" lets every call and every name
// through (so only the service's own check stands); "system" has the
// default policy of a system bus and includes the shipped policy file.
// Extra lines go into the configuration as they are.
class TestBus {
 public:
  TestBus(const std::string& dir, const std::string& kind, const std::string& extra = "") {
    const std::string config = dir + "/" + kind + "-bus.conf";
    std::ofstream out(config);
    out << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n<busconfig>\n  <type>"
        << (kind == "system" ? "system" : "session") << "</type>\n  <listen>unix:path=" << dir << "/" << kind
        << "-bus</listen>\n  <auth>EXTERNAL</auth>\n";
    if (kind == "system") {
      out << "  <policy context=\"default\">\n"
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
             "    <allow send_destination=\"org.freedesktop.DBus\" send_interface=\"org.freedesktop.DBus.Introspectable\"/>\n"
             "  </policy>\n"
             "  <include>"
          << kPolicy << "</include>\n";
    } else {
      out << "  <policy context=\"default\">\n"
             "    <allow user=\"*\"/>\n"
             "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
             "    <allow eavesdrop=\"true\"/>\n"
             "    <allow own=\"*\"/>\n"
             "  </policy>\n";
    }
    out << extra << "</busconfig>\n";
    out.close();
    mDaemon = std::make_unique<qvtest::Process>(
        "/usr/bin/dbus-daemon", std::vector<std::string>{"--config-file=" + config, "--nofork", "--print-address=1"},
        dir);
    if (mDaemon->waitForOutput("\n")) mAddress = mDaemon->out().substr(0, mDaemon->out().find('\n'));
    if (!mAddress.empty()) setenv("QUORVEL_BUS_ADDRESS", mAddress.c_str(), 1);
  }
  ~TestBus() {
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

// The daemons run as root in these tests, standing in for the service user
// that owns the names on a real system.
const char* const kRootOwns = "  <policy user=\"root\"><allow own_prefix=\"com.kestrova.Quorvel\"/></policy>\n";

class BusServiceAccessTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "changing the caller's user needs root";
    if (::access(kSetpriv, X_OK) != 0 || ::getpwnam("nobody") == nullptr) GTEST_SKIP() << "no setpriv or no nobody";
    dir = qvtest::makeTempDir("qvaccess");
    ASSERT_FALSE(dir.empty());
    ASSERT_EQ(0, ::chmod(dir.c_str(), 0755));  // the other user reaches the bus socket
  }
  void TearDown() override {
    if (daemon) {
      daemon->signal(SIGTERM);
      daemon->wait(20000);
      daemon.reset();
    }
    if (!dir.empty()) qvtest::removeTree(dir);
  }

  void startDaemon(const std::string& busAddress, const std::string& trustedGroup) {
    std::map<std::string, std::string> env{{"QUORVEL_HOME", dir + "/home"}, {"QUORVEL_BUS_ADDRESS", busAddress}};
    if (!trustedGroup.empty()) env["QUORVEL_TRUSTED_GROUP"] = trustedGroup;
    daemon = std::make_unique<qvtest::Process>(kFlp2, std::vector<std::string>{}, dir, env);
    ASSERT_TRUE(daemon->waitForOutput("init complete", 20000)) << daemon->out() << daemon->err();
  }

  // busctl as nobody or as root on the bus; its status, its output in said.
  int busctl(const std::string& busAddress, bool asNobody, const std::vector<std::string>& args) {
    std::vector<std::string> all{"--address=" + busAddress};
    all.insert(all.end(), args.begin(), args.end());
    if (asNobody) {
      all.insert(all.begin(), {"--reuid=nobody", "--regid=nogroup", "--clear-groups", "--", kBusctl});
    }
    qvtest::Process p(asNobody ? kSetpriv : kBusctl, all, dir);
    const int status = p.wait(30000);
    said = p.out() + p.err();
    return status;
  }
  // dbus-send shows an error's name and message as they came.
  int callUpdate(const std::string& busAddress, bool asNobody) {
    std::vector<std::string> args{"--print-reply", "--bus=" + busAddress, "--dest=com.kestrova.Quorvel.Flp2",
                                  "/com/kestrova/Quorvel/Flp2", "com.kestrova.Quorvel.Service1.Update",
                                  "string:flp20", "string:man"};
    if (asNobody) {
      args.insert(args.begin(), {"--reuid=nobody", "--regid=nogroup", "--clear-groups", "--", kDbusSend});
    }
    qvtest::Process p(asNobody ? kSetpriv : kDbusSend, args, dir);
    const int status = p.wait(30000);
    said = p.out() + p.err();
    return status;
  }

  std::string dir;
  std::string said;
  std::unique_ptr<qvtest::Process> daemon;
};

// Parameter: the service's trusted group. nobody's primary group is
// "nogroup"; "quorvel" is not one of its groups.
TEST_P(BusServiceAccessTest, OnAnOpenBusTheServiceChecksTheCaller) {
  const bool nobodyTrusted = std::string(GetParam()) == "nogroup";
  TestBus bus(dir, "open");
  ASSERT_FALSE(bus.address().empty()) << bus.log();
  qvtest::EventRecorder recorder("/kestrova/quorvel/newsreader/protocol");
  startDaemon(bus.address(), GetParam());

  const int status = callUpdate(bus.address(), true);
  if (nobodyTrusted) {
    EXPECT_EQ(0, status) << said;
  } else {
    EXPECT_NE(0, status);
    EXPECT_NE(std::string::npos, said.find("org.freedesktop.DBus.Error.AccessDenied: its user (uid 65534) is neither "
                                           "root, nor this service's user, nor in the group quorvel"))
        << said;
    EXPECT_NE(std::string::npos, daemon->out().find("Refusing the call Update from :")) << daemon->out();
  }
  // Root is always answered; its update is the last one.
  ASSERT_EQ(0, callUpdate(bus.address(), false)) << said;
  ASSERT_TRUE(recorder.waitFor(PROTOCOL_TOPIC_RESPONSE, 20000).has_value());
  const std::string out = daemon->out();
  size_t accepted = 0;
  for (auto at = out.find("Method call:Update"); at != std::string::npos; at = out.find("Method call:Update", at + 1)) {
    ++accepted;
  }
  EXPECT_EQ(nobodyTrusted ? 2u : 1u, accepted) << out;
}

INSTANTIATE_TEST_SUITE_P(TrustedGroups, BusServiceAccessTest, ::testing::Values("quorvel", "nogroup"));

TEST_F(BusServiceAccessTest, TheShippedPolicyStopsOtherCallersAtTheBus) {
  TestBus bus(dir, "system", kRootOwns);
  ASSERT_FALSE(bus.address().empty()) << bus.log();
  qvtest::EventRecorder recorder("/kestrova/quorvel/newsreader/protocol");
  startDaemon(bus.address(), "");

  EXPECT_NE(0, callUpdate(bus.address(), true));
  EXPECT_NE(std::string::npos, said.find("org.freedesktop.DBus.Error.AccessDenied: Rejected send message")) << said;
  // Not even the properties are shown to other users.
  EXPECT_NE(0, busctl(bus.address(), true,
                      {"get-property", "com.kestrova.Quorvel.Flp2", "/com/kestrova/Quorvel/Flp2",
                       "com.kestrova.Quorvel.Service1", "State"}));
  ASSERT_EQ(0, callUpdate(bus.address(), false)) << said;
  ASSERT_TRUE(recorder.waitFor(PROTOCOL_TOPIC_RESPONSE, 20000).has_value());
  EXPECT_EQ(std::string::npos, daemon->out().find("Refusing the call")) << "stopped before the service saw it";
}

TEST(BusActivationFiles, ABusReadsThemAndTheyNameTheInstalledUnits) {
  struct Service {
    const char* name;
    const char* unit;
    const char* program;
  };
  const Service services[] = {{"com.kestrova.Quorvel.Flp2", "flp2svc.service", "/usr/sbin/flp2svc"},
                              {"com.kestrova.Quorvel.Flp1x", "flp1xsvc.service", "/usr/sbin/flp1xsvc"},
                              {"com.kestrova.Quorvel.Scheduler", "nr-scheduler.service", "/usr/sbin/nr-scheduler"}};
  const std::string serviceDir = kSource + "/dbus/system-services";
  const std::string policy = qvtest::readFile(kPolicy);
  for (const Service& s : services) {
    SCOPED_TRACE(s.name);
    const std::string text = qvtest::readFile(serviceDir + "/" + s.name + ".service");
    ASSERT_FALSE(text.empty());
    EXPECT_TRUE(std::regex_search(text, std::regex("(^|\n)\\[D-BUS Service\\]\n"))) << text;
    EXPECT_TRUE(std::regex_search(text, std::regex(std::string("\nName=") + s.name + "\n"))) << text;
    EXPECT_TRUE(std::regex_search(text, std::regex(std::string("\nSystemdService=") + s.unit + "\n"))) << text;
    EXPECT_TRUE(std::regex_search(text, std::regex("\nUser=quorvel\n"))) << text;
    EXPECT_TRUE(std::regex_search(text, std::regex("\nExec=/"))) << text;
    // The unit runs the program that owns the name, as the user the
    // package creates.
    const std::string unit = qvtest::readFile(kSource + "/systemd/" + s.unit);
    EXPECT_NE(std::string::npos, unit.find(std::string("\nExecStart=") + s.program + "\n")) << unit;
    EXPECT_NE(std::string::npos, unit.find("\nUser=quorvel\n")) << unit;
    // Only the service user may own the name.
    std::smatch owner;
    ASSERT_TRUE(std::regex_search(policy, owner,
                                  std::regex(std::string("<policy ([^>]*)>(?:(?!</policy>)[\\s\\S])*<allow own=\"") +
                                             s.name + "\"/>")))
        << policy;
    EXPECT_EQ("user=\"quorvel\"", owner[1].str());
  }
  EXPECT_NE(std::string::npos,
            qvtest::readFile(kSource + "/debian/quorvel.install")
                .find("dbus/system-services/*.service usr/share/dbus-1/system-services/"));

  // A bus daemon with these files as its service directory lists exactly
  // the names they declare as activatable: each file parses.
  const std::string dir = qvtest::makeTempDir("qvactivation");
  ASSERT_FALSE(dir.empty());
  {
    TestBus bus(dir, "open", "  <servicedir>" + serviceDir + "</servicedir>\n");
    ASSERT_FALSE(bus.address().empty()) << bus.log();
    qvtest::Process list(kBusctl, {"--address=" + bus.address(), "list", "--activatable", "--no-legend"}, dir);
    ASSERT_EQ(0, list.wait(20000)) << list.err();
    for (const Service& s : services) {
      EXPECT_TRUE(std::regex_search(list.out(), std::regex(std::string("(^|\n)") + s.name + "\\s.*\\(activatable\\)")))
          << s.name << "\n" << list.out();
    }
  }
  qvtest::removeTree(dir);
}

}  // namespace
