// The HTTP transport against the real loopback content server: the request
// headers it sends (read back from the server's request log), redirects,
// hostile answers, connection profiles with proxies, certificates, and
// cancellation of a transaction from another thread.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "DcdTestSupport.h"
#include "Process.h"
#include "platform/Hivra.h"
#include "platform/Settings.h"
#include "transport/DcdFileTransport.h"
#include "transport/DcdHttpTransport.h"
#include "txn/Primitives.h"
#include "txn/Session.h"
#include "txn/Transaction.h"

namespace {

using Codes = std::vector<int>;
using Fields = std::vector<std::pair<std::string, std::string>>;

const std::string kServerProgram = std::string(QV_BINARY_DIR) + "/tools/nr-testserver";

// One line of the server's request log.
struct LoggedRequest {
  std::string method;
  std::string target;
  std::string path;
  Fields headers;
  std::string body;
  int status = 0;
};

// The JSON string that starts at pos (its opening quote); pos ends after it.
// Only the escapes the server writes are understood.
bool readJsonString(const std::string& text, std::size_t& pos, std::string& out) {
  if (pos >= text.size() || text[pos] != '"') return false;
  out.clear();
  for (++pos; pos < text.size(); ++pos) {
    const char c = text[pos];
    if (c == '"') {
      ++pos;
      return true;
    }
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++pos >= text.size()) return false;
    switch (text[pos]) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u':
        if (pos + 4 >= text.size()) return false;
        out += static_cast<char>(std::strtol(text.substr(pos + 1, 4).c_str(), nullptr, 16));
        pos += 4;
        break;
      default: out += text[pos];
    }
  }
  return false;
}

std::string jsonField(const std::string& line, const std::string& key) {
  std::size_t pos = line.find("\"" + key + "\":");
  std::string value;
  if (pos == std::string::npos) return value;
  pos += key.size() + 3;
  readJsonString(line, pos, value);
  return value;
}

LoggedRequest parseLogLine(const std::string& line) {
  LoggedRequest request;
  request.method = jsonField(line, "method");
  request.target = jsonField(line, "target");
  request.path = jsonField(line, "path");
  request.body = jsonField(line, "body");
  const std::size_t status = line.find("\"status\":");
  if (status != std::string::npos) request.status = std::atoi(line.c_str() + status + 9);
  std::size_t pos = line.find("\"headers\":[");
  if (pos == std::string::npos) return request;
  pos += 11;
  while (pos < line.size() && line[pos] == '[') {
    std::string name, value;
    ++pos;
    if (!readJsonString(line, pos, name) || line[pos] != ',') break;
    ++pos;
    if (!readJsonString(line, pos, value) || line[pos] != ']') break;
    request.headers.emplace_back(name, value);
    ++pos;
    if (pos < line.size() && line[pos] == ',') ++pos;
  }
  return request;
}

// One nr-testserver on a root of its own, with a rules file and a request
// log.
class Server {
 public:
  Server(const std::string& dir, const std::string& rules) : mDir(dir), mRoot(dir + "/root"), mLog(dir + "/requests.jsonl") {
    ::mkdir(dir.c_str(), 0755);
    ::mkdir(mRoot.c_str(), 0755);
    writeWholeFile(dir + "/rules", rules);
    mProcess.reset(new qvtest::Process(kServerProgram,
                                       {"--root", mRoot, "--port", "0", "--log", mLog, "--rules", dir + "/rules"},
                                       dir, {{"QUORVEL_HOME", dir}}));
    if (mProcess->waitForOutput("\n")) mPort = std::atoi(mProcess->out().c_str());
  }
  ~Server() {
    mProcess->signal(SIGTERM);
    mProcess->wait(10000);
  }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  int port() const { return mPort; }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(mPort) + path; }
  void file(const std::string& name, const std::string& content) const { writeWholeFile(mRoot + "/" + name, content); }
  std::vector<LoggedRequest> requests() const {
    std::vector<LoggedRequest> out;
    std::istringstream in(readWholeFile(mLog));
    std::string line;
    while (std::getline(in, line)) out.push_back(parseLogLine(line));
    return out;
  }
  std::vector<std::string> paths() const {
    std::vector<std::string> out;
    for (const LoggedRequest& r : requests()) out.push_back(r.path);
    return out;
  }
  std::string err() const { return mProcess->err(); }
  const std::string& logPath() const { return mLog; }

 private:
  std::string mDir, mRoot, mLog;
  std::unique_ptr<qvtest::Process> mProcess;
  int mPort = 0;
};

class RecordingListener : public TransactionListener {
 public:
  void notify(int code) override { codes.push_back(code); }
  Codes codes;
};

// Each test has its own directory and settings home.
class HttpTransport : public ::testing::Test {
 protected:
  void SetUp() override {
    mDir = qvtest::makeTempDir("qv-dcd-http");
    ASSERT_FALSE(mDir.empty());
    setenv("QUORVEL_HOME", mDir.c_str(), 1);
    QuorvelSettingMgr::resetForTesting();
  }
  void TearDown() override {
    mServers.clear();
    QuorvelSettingMgr::resetForTesting();
    unsetenv("QUORVEL_HOME");
    qvtest::removeTree(mDir);
  }

  Server& startServer(const std::string& rules = "") {
    mServers.emplace_back(new Server(mDir + "/server" + std::to_string(++mServerCount), rules));
    Server& server = *mServers.back();
    EXPECT_GT(server.port(), 0) << server.err();
    return server;
  }

  QuorvelSettingMgr& settings() { return *QuorvelSettingMgr::getSettingMgrInstance(); }

  // A GET for the file named by the last segment of url.
  static void askForAsset(DcdHttpTransport& transport, const std::string& url) {
    transport.mUrl = url;
    transport.mMethod = DcdTransport::GET;
    transport.mRequestHeaders = {{"X-FL-RequestType", "data"}};
  }

  static std::string body(const DcdTransport& transport) {
    if (!transport.mResponseBody) return "<none>";
    return std::string(transport.mResponseBody.get(), static_cast<std::size_t>(transport.mResponseLength));
  }

  std::string mDir;
  std::vector<std::unique_ptr<Server>> mServers;
  int mServerCount = 0;
};

void describeDevice(txn::Session& session) {
  session.setAttribute(txn::kAttrPhoneModelId, "Z8");
  session.setAttribute(txn::kAttrPhoneSoftwareVersion, "KQRB_N_03XXXX");
  session.setAttribute(txn::kAttrSubscriberId, "+15550100");
}

TEST_F(HttpTransport, ContentUpdateCarriesTheProtocolHeadersInOrder) {
  Server& server = startServer("[kind content-update]\ngzip if-accepted\n");
  server.file("content-update-response.xml", testData("content-update-response.xml"));

  txn::FileSession session(mDir + "/qvsession");
  session.writeSessionId("SESSION-1");
  describeDevice(session);
  session.setAttribute(txn::kAttrGzipEnabled, "true");
  session.setAttribute(txn::kAttrMsisdnReported, "true");

  txn::ContentUpdateRequest request;
  request.setTrigger(&txn::RequestTrigger::MAN);
  request.setExpected(&txn::ExpectedContent::COMPLETE);
  std::unique_ptr<txn::Application> application(new txn::Application());
  application->setId(txn::kApplicationUrn);
  application->setName(txn::kApplicationName);
  application->setSyncAnchor("");
  request.setApplication(std::move(application));

  DcdHttpTransport transport;
  transport.mUrl = server.url("/dcd");
  transport.mMethod = DcdTransport::POST;
  RecordingListener listener;
  std::unique_ptr<txn::Response> response = txn::Transaction(&request, &transport, &session, &listener).execute();
  EXPECT_EQ(listener.codes, (Codes{0, 5, 4}));
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(response->getType(), "ContentUpdateResponse");
  EXPECT_EQ(transport.mResponseHeaders["Content-Encoding"], "gzip") << "decoded on the way in";

  const std::vector<LoggedRequest> sent = server.requests();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].method, "POST");
  EXPECT_EQ(sent[0].body, std::string(transport.mBody.get(), static_cast<std::size_t>(transport.mBodyLength)));
  EXPECT_EQ(sent[0].headers, (Fields{
                                 {"Host", "127.0.0.1:" + std::to_string(server.port())},
                                 {"Content-Length", std::to_string(sent[0].body.size())},
                                 {"Accept-Charset", "UTF-8"},
                                 {"Accept-Encoding", "gzip"},
                                 {"Content-Type", "application/vnd.kestrova.quorvel+xml"},
                                 {"QVPv2-Session-ID", "SESSION-1"},
                                 {"User-Agent", "Z8/KQRB_N_03XXXX QVP/0.8 WebKit/1.0"},
                                 {"X-FL-DCD-Version", "0.8"},
                                 {"X-FL-Device-Type", "Z8/KQRB_N_03XXXX DCD/0.8 FLP"},
                                 {"X-FL-MSISDN", "+15550100"},
                             }));
}

TEST_F(HttpTransport, DataRequestByIdsNamesItsIdsAndSendsNoContentType) {
  Server& server = startServer();
  server.file("a.gif", "GIF89a");
  server.file("b.txt", "text");
  txn::Session session;
  describeDevice(session);
  txn::DataRequestByIds request;
  request.addId("b.txt");
  request.addId("a.gif");

  DcdHttpTransport transport;
  transport.mUrl = server.url("/dcd");
  transport.mMethod = DcdTransport::POST;
  RecordingListener listener;
  std::unique_ptr<txn::Response> response = txn::Transaction(&request, &transport, &session, &listener).execute();
  EXPECT_EQ(listener.codes, (Codes{0, 5, 4}));
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(static_cast<txn::DataResponse&>(*response).getBlocks().size(), 2u);

  const std::vector<LoggedRequest> sent = server.requests();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].body, "");
  EXPECT_EQ(sent[0].headers, (Fields{
                                 {"Host", "127.0.0.1:" + std::to_string(server.port())},
                                 {"Content-Length", "0"},
                                 {"Accept-Charset", "UTF-8"},
                                 {"User-Agent", "Z8/KQRB_N_03XXXX QVP/0.8 WebKit/1.0"},
                                 {"X-FL-DCD-Version", "0.8"},
                                 {"X-FL-Device-Type", "Z8/KQRB_N_03XXXX DCD/0.8 FLP"},
                                 {"X-FL-Request-Id", "a.gif,b.txt"},
                                 {"X-FL-RequestType", "data"},
                             }));
}

TEST_F(HttpTransport, RequestWithoutDeviceTypeGetsTheCommonHeadersOnly) {
  txn::Session session;
  describeDevice(session);
  txn::GetRequest request;
  DcdHttpTransport transport;
  DcdTransport::HeaderMap headers;
  transport.setHeaders(headers, request, session);
  EXPECT_EQ(headers, (DcdTransport::HeaderMap{{"Accept-Charset", "UTF-8"},
                                              {"User-Agent", "Z8/KQRB_N_03XXXX QVP/0.8 WebKit/1.0"},
                                              {"X-FL-DCD-Version", "0.8"}}));
}

// The headers that say what a request is come from one place: the HTTP and
// FILE transports must agree on them for every kind of request.
TEST(TransportHeaders, BothTransportsMarkTheRequestKindAlike) {
  using Map = DcdTransport::HeaderMap;
  txn::GetRequest get;
  txn::DataRequestByUrl byUrl("logo-id", "http://server.example/assets/logo.gif");
  txn::DataRequestByIds byIds;
  byIds.addId("b.txt");
  byIds.addId("a.gif");
  txn::DataRequestByIds noIds;
  const struct Case {
    const char* name;
    txn::Request* request;
    Map kind;
  } cases[] = {
      {"dcd request", &get, {{"Content-Type", txn::kDcdMimeType}}},
      {"data by url", &byUrl, {{"X-FL-RequestType", "data"}}},
      {"data by ids", &byIds, {{"X-FL-Request-Id", "a.gif,b.txt"}, {"X-FL-RequestType", "data"}}},
      {"data without ids", &noIds, {{"X-FL-RequestType", "data"}}},
  };
  const char* const kindNames[] = {"Content-Type", "X-FL-RequestType", "X-FL-Request-Id"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.request->setDeviceType("Z8/KQRB_N_03XXXX DCD/0.8 FLP");
    txn::Session session;
    describeDevice(session);

    Map shared;
    DcdTransport::setRequestKindHeaders(shared, *c.request);
    EXPECT_EQ(shared, c.kind);

    Map file;
    DcdFileTransport().setHeaders(file, *c.request, session);
    EXPECT_EQ(file, c.kind);

    Map http;
    DcdHttpTransport().setHeaders(http, *c.request, session);
    Map httpKind;
    for (const char* name : kindNames) {
      if (http.count(name) != 0) httpKind[name] = http.at(name);
    }
    EXPECT_EQ(httpKind, c.kind);
  }
}

TEST_F(HttpTransport, RedirectsAreFollowedOnceAndPermanentOnesRemembered) {
  struct Case {
    const char* name;
    const char* rules;
    int result;
    std::vector<std::string> paths;  // as the server saw them
    bool remembered;                 // /old is mapped to /new afterwards
  } cases[] = {
      {"307", "[path /old]\nstatus 307\nheader Location: http://127.0.0.1:${PORT}/new\n", 0, {"/old", "/new"}, false},
      {"301", "[path /old]\nstatus 301\nheader Location: http://127.0.0.1:${PORT}/new\n", 0, {"/old", "/new"}, true},
      {"301 with a relative location", "[path /old]\nstatus 301\nheader Location: /new\n", 0, {"/old", "/new"}, true},
      {"301 without Location", "[path /old]\nstatus 301\n", 2, {"/old"}, false},
      {"a second 301", "[path /old]\nstatus 301\nheader Location: /new\n[path /new]\nstatus 301\nheader Location: /far\n",
       2, {"/old", "/new"}, true},
      {"to another scheme", "[path /old]\nstatus 307\nheader Location: ftp://127.0.0.1/new\n", 2, {"/old"}, false},
      {"to a file", "[path /old]\nstatus 301\nheader Location: file:///etc/passwd\n", 2, {"/old"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    mServers.clear();
    Server& server = startServer(c.rules);
    server.file("new", "the new place");
    server.file("far", "too far");
    DcdHttpTransport transport;
    askForAsset(transport, server.url("/old"));
    EXPECT_EQ(transport.send(), c.result);
    EXPECT_EQ(server.paths(), c.paths);
    if (c.result == 0) {
      EXPECT_EQ(body(transport), "the new place");
    }
    if (!c.remembered) {
      EXPECT_TRUE(transport.mPermanentRedirects.empty());
      continue;
    }
    ASSERT_EQ(transport.mPermanentRedirects.count(server.url("/old")), 1u);
    EXPECT_EQ(transport.mPermanentRedirects[server.url("/old")], server.url("/new"));

    // The next send to the old URL goes straight to the new one, even when
    // the redirected exchange failed.
    askForAsset(transport, server.url("/old"));
    static_cast<void>(transport.send());  // only the path it took matters
    const std::vector<std::string> paths = server.paths();
    ASSERT_GT(paths.size(), c.paths.size());
    EXPECT_EQ(paths[c.paths.size()], "/new");
  }
}

TEST_F(HttpTransport, RedirectFlagsSwitchFollowingOff) {
  Server& server = startServer("[path /old]\nstatus 301\nheader Location: /new\n");
  server.file("new", "the new place");
  DcdHttpTransport transport(false, false);
  askForAsset(transport, server.url("/old"));
  EXPECT_EQ(transport.send(), 2);
  EXPECT_EQ(transport.mStatusCode, 301);
  EXPECT_TRUE(transport.mPermanentRedirects.empty());
  EXPECT_EQ(server.paths(), (std::vector<std::string>{"/old"}));
}

TEST_F(HttpTransport, HostileAnswersFailCleanly) {
  const std::string asset(5000, 'x');
  struct Case {
    const char* name;
    const char* rules;  // for the answer file asset.txt
    int result;
    int status;
    const char* logLine;
  } cases[] = {
      {"plain answer", "", 0, 200, nullptr},
      {"gzip answer", "gzip always\n", 0, 200, nullptr},
      {"404 with a body is the transaction's to judge", "status 404\n", 0, 404, nullptr},
      {"empty body", "body-text\n", 2, 200, nullptr},
      {"connection closed mid-body", "close-after 100\n", 2, 200, "Did not successfully receive the response body"},
      {"connection reset mid-body", "close-after 100 reset\n", 2, 200, "Did not successfully receive the response body"},
      {"invalid status line", "status-line HTTP/1.1 two hundred\n", 2, -1, "Unable to get response status code"},
      {"header line without colon", "raw-header NoColonHere\n", 2, -1, "Unable to get response status code"},
      {"gzip that does not inflate", "header Content-Encoding: gzip\n", 2, 200,
       "Did not successfully receive the response body"},
      {"body over the bound", "body big.txt\n", 2, 200, "Did not successfully receive the response body"},
  };
  ASSERT_EQ(settings().setInt(Hivra::kSettingsCategory, Hivra::kSettingMaxBodyBytes, 100000), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    mServers.clear();
    Server& server = startServer(std::string("[file asset.txt]\n") + c.rules);
    server.file("asset.txt", asset);
    server.file("big.txt", std::string(200000, 'b'));
    DcdHttpTransport transport;
    askForAsset(transport, server.url("/asset.txt"));
    LogCapture log;
    EXPECT_EQ(transport.send(), c.result);
    EXPECT_EQ(transport.mStatusCode, c.status);
    if (c.result == 0) {
      EXPECT_EQ(body(transport), asset);
      EXPECT_EQ(transport.mResponseBody[transport.mResponseLength], '\0');
    } else {
      EXPECT_EQ(transport.mResponseBody, nullptr);
      EXPECT_TRUE(log.contains("Unable to send request to URI, " + server.url("/asset.txt"))) << log.text();
    }
    if (c.logLine != nullptr) {
      EXPECT_TRUE(log.contains(c.logLine)) << log.text();
    }
  }
}

TEST_F(HttpTransport, ConnectionProfileFollowsTheSettings) {
  ASSERT_EQ(settings().setString(8, "ConnProfile.two.Proxy1Host", L"10.0.0.1"), 0);
  ASSERT_EQ(settings().setInt(8, "ConnProfile.two.Proxy1Port", 8080), 0);
  ASSERT_EQ(settings().setString(8, "ConnProfile.two.Proxy2Host", L"proxy.example"), 0);
  ASSERT_EQ(settings().setInt(8, "ConnProfile.two.Proxy2Port", 3128), 0);
  ASSERT_EQ(settings().setString(8, "ConnProfile.off.Proxy1Host", L"10.0.0.2"), 0);
  ASSERT_EQ(settings().setInt(8, "ConnProfile.off.Proxy1Port", 8080), 0);
  ASSERT_EQ(settings().setBoolean(8, "ConnProfile.off.Proxy1Enabled", false), 0);

  DcdHttpTransport transport;
  transport.mProfileNames = {"two", "", "off"};
  transport.mTimeoutMinutes = 2;
  transport.mEnableGzip = false;
  LogCapture log;
  const Hivra::ConnectionProfile profile = transport.buildConnectionProfile();
  std::vector<std::string> entries;
  for (const auto& e : profile.entries()) {
    entries.push_back(e.profileName + "=" + e.proxyHost + ":" + std::to_string(e.proxyPort));
  }
  EXPECT_EQ(entries, (std::vector<std::string>{"two=10.0.0.1:8080", "two=proxy.example:3128", "off=:0"}));
  EXPECT_TRUE(log.contains("Open profile failed:")) << "the unreadable name is skipped";
  EXPECT_EQ(profile.connectionTimeout(), 12000);
  EXPECT_EQ(profile.responseTimeout(), 12000);
  EXPECT_FALSE(profile.contentDecoding());

  DcdHttpTransport defaults;
  const Hivra::ConnectionProfile plain = defaults.buildConnectionProfile();
  EXPECT_TRUE(plain.entries().empty());
  EXPECT_EQ(plain.responseTimeout(), Hivra::kDefaultResponseTimeout);
  EXPECT_TRUE(plain.contentDecoding());
}

TEST_F(HttpTransport, ProxyEntriesAreUsedAndAFailingOneIsPassed) {
  Server& proxy = startServer();
  proxy.file("asset.txt", "through the proxy");
  // A port that refuses connections stands for a proxy that is down.
  Server& down = startServer();
  const int deadPort = down.port();
  mServers.pop_back();

  ASSERT_EQ(settings().setString(8, "ConnProfile.proxied.Proxy1Host", L"127.0.0.1"), 0);
  ASSERT_EQ(settings().setInt(8, "ConnProfile.proxied.Proxy1Port", proxy.port()), 0);
  ASSERT_EQ(settings().setString(8, "ConnProfile.dead.Proxy1Host", L"127.0.0.1"), 0);
  ASSERT_EQ(settings().setInt(8, "ConnProfile.dead.Proxy1Port", deadPort), 0);

  const std::string origin = "http://content.example/assets/asset.txt";
  for (const std::vector<std::string>& names :
       {std::vector<std::string>{"proxied"}, std::vector<std::string>{"dead", "proxied"}}) {
    SCOPED_TRACE(names.front());
    DcdHttpTransport transport;
    askForAsset(transport, origin);
    transport.mProfileNames = names;
    EXPECT_EQ(transport.send(), 0);
    EXPECT_EQ(body(transport), "through the proxy");
  }
  const std::vector<LoggedRequest> seen = proxy.requests();
  ASSERT_EQ(seen.size(), 2u);
  for (const LoggedRequest& r : seen) EXPECT_EQ(r.target, origin) << "the absolute form a proxy is sent";

  DcdHttpTransport allDown;
  askForAsset(allDown, origin);
  allDown.mProfileNames = {"dead"};
  EXPECT_EQ(allDown.send(), 2);
}

TEST_F(HttpTransport, UnverifiedCertificateEndsTheExchange) {
  const char* openssl = "/usr/bin/openssl";
  if (::access(openssl, X_OK) != 0) GTEST_SKIP() << "no openssl command";
  const std::string d = mDir + "/";
  const std::string make = std::string(openssl) + " req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes " +
                           "-keyout " + d + "key.pem -out " + d + "cert.pem -days 2 -subj /CN=127.0.0.1 " +
                           "-addext subjectAltName=IP:127.0.0.1 >" + d + "openssl.log 2>&1";
  ASSERT_EQ(std::system(make.c_str()), 0) << readWholeFile(d + "openssl.log");
  // The port of a server that has just stopped is free for the TLS server.
  int port = 0;
  {
    Server& probe = startServer();
    port = probe.port();
    mServers.clear();
  }
  qvtest::Process tls(openssl,
                      {"s_server", "-quiet", "-www", "-accept", "127.0.0.1:" + std::to_string(port), "-cert",
                       d + "cert.pem", "-key", d + "key.pem"},
                      mDir);
  DcdHttpTransport transport;
  askForAsset(transport, "https://127.0.0.1:" + std::to_string(port) + "/");
  LogCapture log;
  int result = 2;
  for (int attempt = 0; attempt < 200; ++attempt) {  // until the TLS server listens
    result = transport.send();
    if (log.contains("failed verification")) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(result, 2);
  EXPECT_EQ(transport.mStatusCode, -1);
  EXPECT_TRUE(log.contains("The certificate of the server at https://127.0.0.1:" + std::to_string(port) +
                           "/ failed verification"))
      << log.text();
}

// Reads the log file of the running process until text shows up.
bool waitForLogText(const std::string& path, const std::string& text) {
  for (int i = 0; i < 2000; ++i) {
    if (readWholeFile(path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

TEST_F(HttpTransport, CancelFromAnotherThreadEndsTheExchange) {
  struct Case {
    const char* name;
    const char* rules;
    const char* cancelAfter;  // log text that shows the exchange got there
    Codes codes;
    int status;
    const char* abortedLine;
  } cases[] = {
      {"while waiting for the status", "[file big.bin]\ndelay 600000\n", "\"path\":\"/big.bin\"", {0, 5, 2}, -1,
       "Hivra Transaction aborted while receiving response status."},
      {"while reading a slow body", "[file big.bin]\ndrip 1024 200\n", "Got response status code, 200", {0, 5}, 200,
       "Hivra Transaction aborted while receiving a chunk of the response body."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    mServers.clear();
    Server& server = startServer(c.rules);
    server.file("big.bin", std::string(1 << 20, 'b'));
    const std::string logPath = mDir + "/client.log";
    FILE* logFile = std::fopen(logPath.c_str(), "w");
    ASSERT_NE(logFile, nullptr);
    FILE* savedLog = librunlog_to_module_ptr;
    librunlog_to_module_ptr = logFile;

    txn::Session session;
    txn::DataRequestByUrl request("big", server.url("/big.bin"));
    DcdHttpTransport transport;
    transport.mUrl = request.getUrl();
    RecordingListener listener;
    txn::Transaction transaction(&request, &transport, &session, &listener);
    std::unique_ptr<txn::Response> response;
    std::thread worker([&] { response = transaction.execute(); });
    const std::string watched = c.status == -1 ? server.logPath() : logPath;
    const bool reached = waitForLogText(watched, c.cancelAfter);
    if (c.status == 200) std::this_thread::sleep_for(std::chrono::milliseconds(100));  // into the body
    EXPECT_TRUE(transaction.cancel());
    worker.join();
    librunlog_to_module_ptr = savedLog;
    std::fclose(logFile);

    EXPECT_TRUE(reached);
    EXPECT_EQ(response, nullptr);
    EXPECT_TRUE(transaction.isCancelled());
    EXPECT_EQ(listener.codes, c.codes);
    EXPECT_EQ(transport.mStatusCode, c.status);
    const std::string clientLog = readWholeFile(logPath);
    EXPECT_NE(clientLog.find(c.abortedLine), std::string::npos) << clientLog;
    EXPECT_NE(clientLog.find("This transport has been marked cancelled while the request was being sent."),
              std::string::npos);
  }
}

TEST_F(HttpTransport, CancelBeforeTheExchangeStartsIsNotLost) {
  Server& server = startServer("[file big.bin]\ndelay 600000\n");
  server.file("big.bin", "never sent");
  txn::Session session;
  txn::DataRequestByUrl request("big", server.url("/big.bin"));
  DcdHttpTransport transport;
  transport.mUrl = request.getUrl();
  RecordingListener listener;
  txn::Transaction transaction(&request, &transport, &session, &listener);
  EXPECT_TRUE(transaction.cancel());
  EXPECT_EQ(transaction.execute(), nullptr);
  EXPECT_EQ(listener.codes, (Codes{0, 5, 2}));
  EXPECT_TRUE(server.requests().empty());

  // A cancel between exchanges ends the next one only; then the transport
  // works again.
  server.file("small.txt", "small");
  askForAsset(transport, server.url("/small.txt"));
  EXPECT_TRUE(transport.cancel());
  EXPECT_EQ(transport.send(), 3);
  askForAsset(transport, server.url("/small.txt"));
  EXPECT_EQ(transport.send(), 0);
  EXPECT_EQ(body(transport), "small");
}

}  // namespace
