// The real flp1xsvc over a private bus against nr-testserver in FLP 1.x
// mode, for the integration tests: a fresh QUORVEL_HOME, server root, rules
// file and request log per test; settings, content cache and log read back
// in this process.
//
// Threads: everything on the test's main thread.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "PrivateBus.h"
#include "Process.h"
#include "framework/Protocol.h"
#include "platform/ContentCache.h"
#include "platform/Settings.h"

namespace flp1xit {

namespace fs = std::filesystem;

const std::string kDaemon = std::string(QV_BINARY_DIR) + "/flp1x/flp1xsvc";
const std::string kNrctl = std::string(QV_BINARY_DIR) + "/tools/nrctl";
const std::string kServer = std::string(QV_BINARY_DIR) + "/tools/nr-testserver";
const std::string kMsisdn = "4915112345678";
const std::string kUserAgent = "Z8/KQRB_N_03XXXX FLP/1.6  WebKit/1.0";

inline std::string prop(const ES_EventRecord& e, const std::string& key) {
  auto it = e.properties.find(key);
  return it == e.properties.end() ? std::string("<none>") : it->second;
}
inline std::string value(const ES_EventRecord& e) { return prop(e, "__QV_Event__mValue"); }

using Headers = std::vector<std::pair<std::string, std::string>>;

// One line of the server's request log.
struct LoggedRequest {
  std::string path;
  std::string kind;
  int status = 0;
  Headers headers;
  std::string header(const std::string& name) const {
    for (const auto& h : headers)
      if (h.first == name) return h.second;
    return "<none>";
  }
};

inline std::string unescape(const std::string& json) {
  std::string out;
  for (size_t i = 0; i < json.size(); ++i) {
    if (json[i] == '\\' && i + 1 < json.size()) ++i;
    out.push_back(json[i]);
  }
  return out;
}

class Flp1xDaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus.ok()) << bus.error();
    ASSERT_TRUE(recorder.ok()) << recorder.error();
    dir = qvtest::makeTempDir("qvflp1x");
    ASSERT_FALSE(dir.empty());
    home = dir + "/home";
    root = dir + "/root";
    fs::create_directories(root);
    writeFile(dir + "/rules", "");
    setenv("QUORVEL_HOME", home.c_str(), 1);
    closeStores();
  }
  void TearDown() override {
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
    fs::create_directories(fs::path(path).parent_path());
    const std::string temp = path + ".new";
    std::ofstream(temp, std::ios::binary) << text;
    fs::rename(temp, path);  // the server sees the whole file or none
  }
  void setRules(const std::string& text) { writeFile(dir + "/rules", text); }
  std::string address() const { return "http://127.0.0.1:" + std::to_string(port); }

  // The server, and the settings that point the daemon at it: server URL
  // address()/flp, an MSISDN, two ids per request by id.
  void startServer() {
    server = std::make_unique<qvtest::Process>(
        kServer,
        std::vector<std::string>{"--root", root, "--mode", "flp1x", "--port", "0", "--log", dir + "/requests.jsonl",
                                 "--rules", dir + "/rules"},
        dir);
    ASSERT_TRUE(server->waitForOutput("\n")) << server->err();
    port = std::stoi(server->out());
    setText(1, "flp1x.ServerURL", address() + "/flp");
    setText(12, "MSISDN", kMsisdn);
    setText(1, "flp1x.MaxAssetsType2", "2");
    setText(1, "flp1x.MaxAssets3GType2", "2");
  }

  // The daemon reads its settings once, when it serves its first item.
  void startDaemon(const std::map<std::string, std::string>& extraEnv = {}) {
    std::map<std::string, std::string> env{
        {"QUORVEL_HOME", home}, {"QUORVEL_BUS_ADDRESS", bus.address()}, {"QUORVEL_SLEEP_SCALE", "0.001"}};
    for (const auto& e : extraEnv) env[e.first] = e.second;
    daemon = std::make_unique<qvtest::Process>(kDaemon, std::vector<std::string>{}, dir, env);
    ASSERT_TRUE(recorder.waitFor(PROTOCOL_TOPIC_STARTUP).has_value()) << daemon->out() << daemon->err();
  }
  void restartDaemon() {
    daemon->signal(SIGTERM);
    ASSERT_EQ(0, daemon->wait(30000));
    startDaemon();
  }

  std::map<std::string, std::string> nrctlEnv() const {
    return {{"QUORVEL_HOME", home}, {"QUORVEL_BUS_ADDRESS", bus.address()}};
  }
  int nrctl(const std::vector<std::string>& args, const std::string& input = "") {
    qvtest::Process p(kNrctl, args, dir, nrctlEnv(), input);
    int status = p.wait(60000);
    lastOut = p.out();
    return status;
  }
  // An update, waited for: the response code.
  int update(const std::string& trigger = "man") {
    return nrctl({"update", "flp1x", "--trigger", trigger, "--wait", "--timeout", "30"});
  }
  int retryData() { return nrctl({"retry", "flp1x", "--type", "data", "--trigger", "man", "--wait", "--timeout", "30"}); }
  std::string setting(const std::string& name) {
    nrctl({"settings", "get", name});
    return lastOut.empty() ? lastOut : lastOut.substr(0, lastOut.size() - 1);
  }

  std::vector<LoggedRequest> requests() {
    std::vector<LoggedRequest> out;
    std::ifstream in(dir + "/requests.jsonl");
    std::string line;
    const std::regex field("\"(path|kind)\":\"((?:[^\"\\\\]|\\\\.)*)\"");
    const std::regex headerList("\"headers\":\\[(.*?)\\],\"body\"");
    const std::regex pair("\\[\"((?:[^\"\\\\]|\\\\.)*)\",\"((?:[^\"\\\\]|\\\\.)*)\"\\]");
    const std::regex status("\"status\":([0-9]+)");
    while (std::getline(in, line)) {
      LoggedRequest r;
      for (std::sregex_iterator it(line.begin(), line.end(), field), end; it != end; ++it) {
        if ((*it)[1] == "path" && r.path.empty()) r.path = unescape((*it)[2]);
        if ((*it)[1] == "kind") r.kind = (*it)[2];
      }
      std::smatch m;
      if (std::regex_search(line, m, headerList)) {
        const std::string list = m[1];
        for (std::sregex_iterator it(list.begin(), list.end(), pair), end; it != end; ++it)
          r.headers.emplace_back(unescape((*it)[1]), unescape((*it)[2]));
      }
      if (std::regex_search(line, m, status)) r.status = std::stoi(m[1]);
      out.push_back(r);
    }
    return out;
  }
  // "type-1 /path", "type-2 ids" or "type-3 /path" for each request.
  std::vector<std::string> requestKinds() {
    std::vector<std::string> kinds;
    for (const LoggedRequest& r : requests())
      kinds.push_back(r.kind + " " + (r.kind == "type-2" ? r.header("X-FL-Request-Id") : r.path));
    return kinds;
  }
  void clearRequestLog() { std::ofstream(dir + "/requests.jsonl", std::ios::trunc); }
  // Waits until the log holds a request of this kind.
  bool waitForRequest(const std::string& kind) {
    for (int i = 0; i < 1000; ++i) {
      for (const LoggedRequest& r : requests())
        if (r.kind == kind) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  void setText(int category, const std::string& key, const std::string& text) {
    ASSERT_EQ(0, QuorvelSettingMgr::getSettingMgrInstance()->setString(category, key, MString::toWide(text)));
  }
  int number(const std::string& key) {
    int v = -12345;
    QuorvelSettingMgr::getSettingMgrInstance()->getInt(1, key, v);
    return v;
  }
  NR_ContentCache& cache() { return *NR_ContentCache::getInstance(); }
  std::vector<qvTypes::ID> containerChannels() {
    Container c;
    if (cache().get("container1", c) != 0) return {};
    return c.getChannelIds();
  }
  std::vector<qvTypes::ID> channelItems(const std::string& id) {
    Channel c;
    EXPECT_EQ(0, cache().get(id, c)) << id;
    return c.getItemIds();
  }
  // id -> content type and bytes.
  std::map<std::string, std::pair<std::string, std::string>> assets() {
    std::map<std::string, std::pair<std::string, std::string>> out;
    for (const auto& a : cache().listAssets()) out[a.id] = {a.mime, qvtest::readFile(a.path)};
    return out;
  }

  qvtest::PrivateBus bus;
  qvtest::EventRecorder recorder{"/kestrova/quorvel/newsreader"};
  std::string dir, home, root, lastOut;
  int port = 0;
  std::unique_ptr<qvtest::Process> server;
  std::unique_ptr<qvtest::Process> daemon;
};

}  // namespace flp1xit
