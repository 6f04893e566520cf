// The real flp2svc over a private bus against nr-testserver, for the
// session and push tests: a fresh home, root, rules file, request log and
// session file per test; helpers to run nrctl and to read the settings,
// the session file and the server's request log.
//
// Threads: the fixture runs on the test's main thread; the programs are
// child processes.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "PrivateBus.h"
#include "Process.h"
#include "framework/Protocol.h"
#include "platform/ContentCache.h"
#include "platform/Settings.h"

namespace flp2it {

namespace fs = std::filesystem;

const std::string kFlp2 = std::string(QV_BINARY_DIR) + "/flp2/flp2svc";
const std::string kNrctl = std::string(QV_BINARY_DIR) + "/tools/nrctl";
const std::string kServer = std::string(QV_BINARY_DIR) + "/tools/nr-testserver";
const std::string kSamples = std::string(QV_SOURCE_DIR) + "/samples/flp2";
const std::string kDcdType = "application/vnd.kestrova.quorvel+xml";

inline std::string prop(const ES_EventRecord& e, const std::string& key) {
  auto it = e.properties.find(key);
  return it == e.properties.end() ? std::string("<none>") : it->second;
}
inline std::string value(const ES_EventRecord& e) { return prop(e, "__QV_Event__mValue"); }

// One line of the server's request log, as far as the tests look at it.
struct LoggedRequest {
  std::string kind;
  std::string path;
  std::string sessionHeader;  // the QVPv2-Session-ID header, "<none>" without one
  std::string body;           // unescaped
};

inline std::string jsonUnescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    out += c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
  }
  return out;
}

inline std::string jsonField(const std::string& line, const std::string& name) {
  std::smatch m;
  if (!std::regex_search(line, m, std::regex("\"" + name + "\":\"((?:[^\"\\\\]|\\\\.)*)\""))) return "";
  return jsonUnescape(m[1]);
}

class Flp2Daemon : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus.ok()) << bus.error();
    ASSERT_TRUE(recorder.ok()) << recorder.error();
    dir = qvtest::makeTempDir("qvflp2s");
    ASSERT_FALSE(dir.empty());
    home = dir + "/home";
    root = dir + "/root";
    sessionFile = dir + "/qvsession";
    fs::create_directories(root);
    writeFile(dir + "/rules", "");
    setenv("QUORVEL_HOME", home.c_str(), 1);
    closeStores();
  }
  void TearDown() override {
    stopDaemon();
    // The daemon's account of a failed test, one log line a line.
    if (HasFailure()) {
      std::string shown = daemonOutput.size() > 20000 ? daemonOutput.substr(daemonOutput.size() - 20000) : daemonOutput;
      for (std::string::size_type at = shown.find("(", 1); at != std::string::npos; at = shown.find("(", at + 2))
        if (shown.compare(at, 6, "(flp2/") == 0 || shown.compare(at, 5, "(lib/") == 0 ||
            shown.compare(at, 11, "(framework/") == 0)
          shown.insert(at, "\n");
      std::fprintf(stderr, "--- flp2svc output (end) ---\n%s\n", shown.c_str());
    }
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
  // The sample content (with its session and notification samples) as the
  // server's root.
  void useSamples() {
    fs::copy(kSamples, root, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  }
  void setRules(const std::string& text) { writeFile(dir + "/rules", text); }
  void useRules(const std::string& sample) { setRules(qvtest::readFile(kSamples + "/" + sample)); }

  std::map<std::string, std::string> env() const {
    return {{"QUORVEL_HOME", home},
            {"QUORVEL_BUS_ADDRESS", bus.address()},
            {"QUORVEL_SLEEP_SCALE", "0.001"},
            {"QUORVEL_SESSION_FILE", sessionFile}};
  }

  // Starts nr-testserver on the root (${SERVER} in its top-level XML files
  // becomes its address) and flp2svc configured for it.
  void start() {
    server = std::make_unique<qvtest::Process>(
        kServer, std::vector<std::string>{"--root", root, "--port", "0", "--log", dir + "/requests.jsonl", "--rules",
                                          dir + "/rules"},
        dir);
    ASSERT_TRUE(server->waitForOutput("\n")) << server->err();
    const std::string address = "http://127.0.0.1:" + std::to_string(std::stoi(server->out()));
    for (const auto& entry : fs::directory_iterator(root)) {
      if (entry.path().extension() != ".xml") continue;
      std::string text = qvtest::readFile(entry.path());
      for (std::string::size_type at = text.find("${SERVER}"); at != std::string::npos; at = text.find("${SERVER}"))
        text.replace(at, 9, address);
      writeFile(entry.path(), text);
    }
    setText(1, "flp20.ServerURL", address + "/dcd");
    startDaemon();
  }
  void startDaemon() {
    daemon = std::make_unique<qvtest::Process>(kFlp2, std::vector<std::string>{}, dir, env());
    ASSERT_TRUE(recorder.waitFor(PROTOCOL_TOPIC_STARTUP, 20000).has_value()) << daemon->out() << daemon->err();
  }
  // Ends the daemon; what it wrote is kept in daemonOutput.
  void stopDaemon() {
    if (!daemon) return;
    daemon->signal(SIGTERM);
    EXPECT_EQ(0, daemon->wait(20000));
    daemonOutput += daemon->out() + daemon->err();
    daemon.reset();
  }
  std::string allDaemonOutput() const { return daemonOutput + (daemon ? daemon->out() + daemon->err() : ""); }

  int nrctl(const std::vector<std::string>& args) {
    qvtest::Process p(kNrctl, args, dir, env());
    const int status = p.wait(60000);
    lastOut = p.out();
    return status;
  }
  // A request or push, waited for: the exit status (the response value).
  int update(const std::string& version, const std::string& trigger = "man") {
    return nrctl({"update", version, "--trigger", trigger, "--wait", "--timeout", "30"});
  }
  int pushFile(const std::string& version, const std::string& file, const std::string& type = kDcdType) {
    return nrctl({"push", version, "--content-type", type, "--file", file, "--wait", "--timeout", "30"});
  }
  int pushText(const std::string& version, const std::string& text, const std::string& type = kDcdType) {
    const std::string file = dir + "/pushed.xml";
    writeFile(file, text);
    return pushFile(version, file, type);
  }
  // The next response event.
  std::optional<ES_EventRecord> response() { return recorder.waitFor(PROTOCOL_TOPIC_RESPONSE, 30000); }

  std::vector<LoggedRequest> requests() {
    std::vector<LoggedRequest> out;
    std::ifstream in(dir + "/requests.jsonl");
    std::string line;
    const std::regex sessionHeader("\\[\"QVPv2-Session-ID\",\"([^\"]*)\"\\]", std::regex::icase);
    while (std::getline(in, line)) {
      LoggedRequest r;
      r.kind = jsonField(line, "kind");
      r.path = jsonField(line, "path");
      r.body = jsonField(line, "body");
      std::smatch m;
      r.sessionHeader = std::regex_search(line, m, sessionHeader) ? std::string(m[1]) : "<none>";
      out.push_back(r);
    }
    return out;
  }
  // The kinds of the logged requests, data requests left out.
  std::vector<std::string> exchanges() {
    std::vector<std::string> kinds;
    for (const LoggedRequest& r : requests())
      if (r.kind.compare(0, 4, "data") != 0) kinds.push_back(r.kind);
    return kinds;
  }
  void clearRequestLog() { std::ofstream(dir + "/requests.jsonl", std::ios::trunc); }

  // The channel ids of the content-cache container, in order.
  static std::vector<qvTypes::ID> storedChannels() {
    Container container;
    EXPECT_EQ(0, NR_ContentCache::getInstance()->get("container1", container));
    return container.getChannelIds();
  }

  std::string storedSession() { return qvtest::readFile(sessionFile); }
  void writeSession(const std::string& id) { std::ofstream(sessionFile, std::ios::binary | std::ios::trunc) << id; }

  // Settings as the daemon left them (read in this process).
  static QuorvelSettingMgr& settings() { return *QuorvelSettingMgr::getSettingMgrInstance(); }
  static void setText(int category, const std::string& key, const std::string& text) {
    ASSERT_EQ(0, settings().setString(category, key, MString::toWide(text)));
  }
  static void setBool(int category, const std::string& key, bool v) {
    ASSERT_EQ(0, settings().setBoolean(category, key, v));
  }
  static std::string text(int category, const std::string& key) {
    std::wstring w;
    if (settings().getString(category, key, w) != 0) return "<unset>";
    std::string out;
    for (wchar_t c : w) out.push_back(static_cast<char>(c));
    return out;
  }
  static int number(const std::string& key) {
    int v = -12345;
    settings().getInt(1, key, v);
    return v;
  }

  qvtest::PrivateBus bus;
  qvtest::EventRecorder recorder{"/kestrova/quorvel/newsreader"};
  std::string dir, home, root, sessionFile, lastOut, daemonOutput;
  std::unique_ptr<qvtest::Process> server;
  std::unique_ptr<qvtest::Process> daemon;
};

}  // namespace flp2it
