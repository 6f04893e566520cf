// The FLP 1.x transport against real loopback servers: the request as it
// goes out, answers of every kind with their result and status code, the
// connection profile's proxy, a cancel from another thread while the
// exchange blocks, and https spoken over verified TLS.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../http/HttpTestSupport.h"
#include "Flp1xTestSupport.h"
#include "HttpTransport.h"
#include "RecordingFacade.h"
#include "framework/Protocol.h"
#include "platform/Hivra.h"

namespace {

using flp1xtest::FreshHome;
using qvtest::MiniHttpServer;
using Headers = std::vector<std::pair<std::string, std::string>>;

constexpr int kDcd = 1;
constexpr int kSystem = 8;

class HttpTransportTest : public ::testing::Test {
 protected:
  void SetUp() override { HttpTransport::resetAgentForTesting(); }
  void TearDown() override { HttpTransport::resetAgentForTesting(); }

  // One update of url, the header lines given one by one as the engine
  // does.
  static PtrRef<HttpResponse> fetch(HttpTransport& transport, const std::string& url,
                                    const std::vector<std::string>& lines = {},
                                    int type = HttpRequest::TYPE_CONTENT) {
    PtrRef<HttpRequest> request(new HttpRequest());
    request->mUrl = url;
    request->mType = type;
    for (const std::string& line : lines) request->mEntity.mHeaders.parseHeaders(line);
    transport.mRequest = request;
    return transport.update();
  }

  static void setBodyBound(int bytes) {
    if (bytes > 0) {
      ASSERT_EQ(0, FreshHome::settings().setInt(kSystem, Hivra::kSettingMaxBodyBytes, bytes));
    } else {
      FreshHome::settings().remove(kSystem, Hivra::kSettingMaxBodyBytes);
    }
  }
  static void setText(int category, const std::string& key, const std::string& value) {
    ASSERT_EQ(0, FreshHome::settings().setString(category, key, MString::toWide(value)));
  }
  static std::size_t occurrences(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
  }

  FreshHome mHome;
  RecordingFacade mFacade;
  LogCapture mLog;
  MiniHttpServer mServer;
};

TEST_F(HttpTransportTest, SendsTheRequestAsGivenAndHandsBackTheAnswer) {
  ASSERT_TRUE(mServer.ok());
  mServer.on("/sync?x=1", MiniHttpServer::Response::make(
                              200, "<sync-pkg/>",
                              {{"Content-Type", "application/vnd.kestrova.quorvel+xml"}, {"X-FL-NextURI", "/next"}}));
  ProtocolRequest protocolRequest(ProtocolRequest::MANUAL);
  std::unique_ptr<HttpTransport> transport(createHttpTransport());
  transport->mProtocolRequest = &protocolRequest;

  PtrRef<HttpResponse> response =
      fetch(*transport, mServer.url("/sync?x=1"),
            {"Host:127.0.0.1", "Accept: application/vnd.kestrova.quorvel+gzip", "Accept-Encoding:compress, gzip",
             "X-FL-RequestType:man", "X-FL-MSISDN:", "x-up-calling-line-id:",
             "User-Agent:Z8/KQRB_N_03XXXX FLP/1.6  WebKit/1.0", "X-FL-Sync-Anchor:c1=7"});

  EXPECT_EQ(TRANSPORT_OK, transport->mResult.load());
  ASSERT_TRUE(response);
  EXPECT_EQ(response.get(), transport->response().get());
  EXPECT_EQ(200, response->mStatusCode);
  EXPECT_EQ("<sync-pkg/>", response->mEntity.mBody);
  EXPECT_EQ("/next", response->mEntity.mHeaders.get("x-fl-nexturi"));
  EXPECT_FALSE(response->mIsMultipart);

  const std::vector<MiniHttpServer::Request> sent = mServer.requests();
  ASSERT_EQ(1u, sent.size());
  EXPECT_EQ("GET", sent[0].method);
  EXPECT_EQ("/sync?x=1", sent[0].target);
  EXPECT_EQ("HTTP/1.1", sent[0].version);
  const Headers expected = {{"Host", "127.0.0.1"},
                            {"Accept", "application/vnd.kestrova.quorvel+gzip"},
                            {"Accept-Encoding", "compress, gzip"},
                            {"X-FL-RequestType", "man"},
                            {"X-FL-MSISDN", ""},
                            {"x-up-calling-line-id", ""},
                            {"User-Agent", "Z8/KQRB_N_03XXXX FLP/1.6  WebKit/1.0"},
                            {"X-FL-Sync-Anchor", "c1=7"}};
  EXPECT_EQ(expected, sent[0].headers);
  EXPECT_TRUE(mLog.contains("Send request headers: \nHost: 127.0.0.1\r\nAccept: "));

  // A content request marks its progress on the protocol request.
  EXPECT_EQ(2, protocolRequest.getState());
  EXPECT_EQ(ProtocolRequest::DOWNLOADING, protocolRequest.getStatus());
  ASSERT_EQ(1u, mFacade.eventsOn(PROTOCOL_TOPIC_REPORTSTATUS).size());
  EXPECT_EQ("downloading", mFacade.eventsOn(PROTOCOL_TOPIC_REPORTSTATUS)[0].prop("status"));
}

std::string twoParts(const std::string& png, const std::string& xml) {
  return "--foobar123-1234\r\nContent-Id: img1\r\nContent-Type: image/png\r\n\r\n" + png +
         "\r\n--foobar123-1234\r\nContent-Id: tpl1\r\nContent-Type: text/xml\r\n\r\n" + xml +
         "\r\n--foobar123-1234--\r\n";
}

// Bodies and header blocks reach the log only cut short, at every level:
// a 13 MB answer (binary bytes included) writes a few KB of log at most.
TEST_F(HttpTransportTest, ALargeAnswerWritesABoundedLog) {
  ASSERT_TRUE(mServer.ok());
  std::string body(13 << 20, 'b');
  for (std::size_t i = 0; i < body.size(); i += 7) body[i] = static_cast<char>(i & 0xFF);
  mServer.on("/big", MiniHttpServer::Response::make(
                         200, body, {{"Content-Type", "application/octet-stream"}, {"X-Long", std::string(3000, 'h')}}));
  std::unique_ptr<HttpTransport> transport(createHttpTransport());
  const std::size_t logFrom = mLog.text().size();
  PtrRef<HttpResponse> response =
      fetch(*transport, mServer.url("/big"), {"Host:127.0.0.1", "X-Request-Long:" + std::string(3000, 'r')});
  ASSERT_TRUE(response);
  EXPECT_EQ(body.size(), response->mEntity.mBody.size());
  const std::string log = mLog.text().substr(logFrom);
  EXPECT_LT(log.size(), 4u * 1024u) << log.substr(0, 600);
  // The lines are still there, with their payload cut and its size given.
  EXPECT_NE(std::string::npos, log.find("Receive Response Body: \n"));
  EXPECT_NE(std::string::npos, log.find("... [" + std::to_string(body.size()) + " bytes in all]"));
  EXPECT_NE(std::string::npos, log.find("Receive headers: \n"));
  EXPECT_NE(std::string::npos, log.find("Send request headers: \nHost: 127.0.0.1\r\n"));
  std::size_t unprintable = 0;
  for (char c : log) unprintable += c == '\n' || c == '\r' || c == '\t' || (c >= 0x20 && c < 0x7F) ? 0 : 1;
  EXPECT_EQ(0u, unprintable);
}

TEST_F(HttpTransportTest, AnswersWithTheirResultAndStatus) {
  ASSERT_TRUE(mServer.ok());
  using Response = MiniHttpServer::Response;
  const std::string large = qvtest::patternBody(100000);
  const std::string png("\x89PNG\r\n\x1a\n\0\0\r\n", 13);
  const std::string xml = "<template>\r\n</template>\r\n";
  const Headers gzipType = {{"Content-Type", "application/vnd.kestrova.quorvel+gzip"}};

  Response unannounced = Response::make(200, qvtest::patternBody(5000));
  unannounced.contentLength = false;
  Response cut = Response::make(200, qvtest::patternBody(1000));
  cut.closeAfterBytes = 100;

  struct Case {
    const char* what;
    Response answer;
    int bound;  // Http.MaxBodyBytes; 0 leaves the default
    int result;
    int status;
    std::function<void(const HttpResponse&)> check;
    const char* logLine;
  } cases[] = {
      {"a gzip answer inflating past 32 KiB", Response::make(200, qvtest::gzipped(large), gzipType), 0, TRANSPORT_OK,
       200, [&](const HttpResponse& r) { EXPECT_TRUE(r.mEntity.mBody == large); }, "Meet gzip body, unzip it!"},
      {"a multipart answer", Response::make(200, twoParts(png, xml),
                                            {{"Content-Type", "multipart/mixed; boundary=foobar123-1234"}}),
       0, TRANSPORT_OK, 200,
       [&](const HttpResponse& r) {
         ASSERT_TRUE(r.mIsMultipart);
         ASSERT_EQ(2u, r.mMultipart->mParts.size());
         const MimeEntity& first = *r.mMultipart->mParts.front();
         const MimeEntity& second = *r.mMultipart->mParts.back();
         EXPECT_EQ("img1", first.mHeaders.get("content-id"));
         EXPECT_EQ("image/png", first.mHeaders.get("Content-Type"));
         EXPECT_EQ(png, first.mBody);
         EXPECT_EQ("tpl1", second.mHeaders.get("Content-Id"));
         EXPECT_EQ(xml, second.mBody);
       },
       "Parse body successed."},
      {"a 404 with a body", Response::make(404, "<html>gone</html>", {{"Content-Type", "text/html"}}), 0,
       TRANSPORT_FAILED, 404, [](const HttpResponse& r) { EXPECT_EQ("<html>gone</html>", r.mEntity.mBody); },
       "Network status error:404"},
      {"an announced body over the bound", Response::make(200, qvtest::patternBody(5000)), 1000, TRANSPORT_FAILED,
       200, [](const HttpResponse& r) { EXPECT_EQ("", r.mEntity.mBody); }, "Receive response error, "},
      {"an unannounced body over the bound", unannounced, 1000, TRANSPORT_FAILED, 200,
       [](const HttpResponse& r) { EXPECT_EQ("", r.mEntity.mBody); }, "is larger than the bound of 1000 bytes"},
      {"gzip inflating past the bound", Response::make(200, qvtest::gzipped(std::string(1 << 20, 'z')), gzipType),
       100000, TRANSPORT_FAILED, 200, [](const HttpResponse& r) { EXPECT_EQ("", r.mEntity.mBody); },
       "[UNZIP]Uncompress got error in the second time."},
      {"gzip that does not inflate", Response::make(200, "<sync-pkg/>", gzipType), 0, TRANSPORT_FAILED, 200,
       [](const HttpResponse& r) { EXPECT_EQ("", r.mEntity.mBody); },
       "[UNZIP]Uncompress got error in the first time and it's not buffer error(-3)."},
      {"multipart with a preamble", Response::make(200, "preamble\r\n" + twoParts(png, xml),
                                                   {{"Content-Type", "multipart/mixed; boundary=foobar123-1234"}}),
       0, TRANSPORT_FAILED, 200, [](const HttpResponse& r) { EXPECT_TRUE(r.mIsMultipart); },
       "Parse response body error!"},
      {"the connection lost mid-body", cut, 0, TRANSPORT_FAILED, 200, nullptr, "Receive response error, "},
      {"not an HTTP answer", Response::rawBytes("garbage\r\n\r\n"), 0, TRANSPORT_FAILED, 200,
       [](const HttpResponse& r) { EXPECT_TRUE(r.mEntity.mHeaders.empty()); }, "Receive status error:"},
  };
  // One transport for all: each update starts afresh.
  std::unique_ptr<HttpTransport> transport(createHttpTransport());
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    setBodyBound(c.bound);
    const std::string path = "/answer" + std::to_string(++n);
    mServer.on(path, c.answer);
    const std::size_t logFrom = mLog.text().size();
    PtrRef<HttpResponse> response = fetch(*transport, mServer.url(path), {"Accept: */*"}, HttpRequest::TYPE_DATA_BY_IDS);
    ASSERT_TRUE(response);
    EXPECT_EQ(c.result, transport->mResult.load());
    EXPECT_EQ(c.status, response->mStatusCode);
    if (c.check) c.check(*response);
    EXPECT_NE(std::string::npos, mLog.text().find(c.logLine, logFrom)) << mLog.text().substr(logFrom);
  }
}

TEST_F(HttpTransportTest, FailuresBeforeTheExchange) {
  qvtest::DeadPort dead;
  ASSERT_NE(0, dead.port());
  struct Case {
    std::string url;
    const char* logLine;
  } cases[] = {
      {"http:///sync", "create Hivra::Transport error: the URL names no host"},
      {"http://127.0.0.1:0/sync", "create Hivra::Transport error: the port 0 is not between 1 and 65535"},
      {"http://127.0.0.1:x/sync", "create Hivra::Transport error: the port -1 is not between 1 and 65535"},
      {"ftp://127.0.0.1/sync", "create Hivra::Transport error: unsupported scheme"},
      {"http://127.0.0.1:" + std::to_string(dead.port()) + "/sync", "Send request headers error: "},
  };
  std::unique_ptr<HttpTransport> transport(createHttpTransport());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    const std::size_t logFrom = mLog.text().size();
    PtrRef<HttpResponse> response = fetch(*transport, c.url);
    ASSERT_TRUE(response);
    EXPECT_EQ(TRANSPORT_FAILED, transport->mResult.load());
    EXPECT_EQ(200, response->mStatusCode);
    EXPECT_NE(std::string::npos, mLog.text().find(c.logLine, logFrom)) << mLog.text().substr(logFrom);
  }
}

TEST_F(HttpTransportTest, ConnectsThroughTheProxyOfTheConnectionProfile) {
  ASSERT_TRUE(mServer.ok());
  qvtest::DeadPort dead;
  mServer.on("/sync", MiniHttpServer::Response::make(200, "via"));
  setText(kDcd, "ConnProfiles", "gw:false");
  struct Case {
    const char* what;
    int proxyPort;
    bool enabled;
    std::string url;
    std::string target;  // as the server saw it
  } cases[] = {
      {"an enabled proxy", mServer.port(), true, "http://content.example/sync", "http://content.example/sync"},
      {"a disabled proxy is not used", dead.port(), false, mServer.url("/sync"), "/sync"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HttpTransport::resetAgentForTesting();  // the agent keeps the profile it was made with
    setText(kSystem, "ConnProfile.gw.Proxy1Host", "127.0.0.1");
    ASSERT_EQ(0, FreshHome::settings().setInt(kSystem, "ConnProfile.gw.Proxy1Port", c.proxyPort));
    ASSERT_EQ(0, FreshHome::settings().setBoolean(kSystem, "ConnProfile.gw.Proxy1Enabled", c.enabled));
    const std::size_t before = mServer.requests().size();
    const std::size_t logFrom = mLog.text().size();
    std::unique_ptr<HttpTransport> transport(createHttpTransport());
    PtrRef<HttpResponse> response = fetch(*transport, c.url);
    EXPECT_EQ(TRANSPORT_OK, transport->mResult.load());
    EXPECT_EQ("via", response->mEntity.mBody);
    ASSERT_EQ(before + 1, mServer.requests().size());
    EXPECT_EQ(c.target, mServer.requests().back().target);
    // "false" after the colon: the default profile is not offered.
    EXPECT_EQ(1u, occurrences(mLog.text().substr(logFrom), "Add gatewary:"));
  }
}

TEST_F(HttpTransportTest, CancelFromAnotherThreadEndsABlockedExchange) {
  ASSERT_TRUE(mServer.ok());
  using Response = MiniHttpServer::Response;
  Response slowBody = Response::make(200, qvtest::patternBody(100000));
  slowBody.dripBytes = 500;
  slowBody.dripIntervalMs = 100;  // 20 s for the whole body
  Response slowStatus = Response::make(200, "late");
  slowStatus.delayMs = 20000;
  long long sentBefore = 0;
  std::size_t requestsBefore = 0;
  std::size_t logFrom = 0;
  struct Case {
    const char* what;
    Response answer;
    std::function<bool()> blocked;  // true once the server has the request and the exchange waits where wanted
    const char* logLine;
  } cases[] = {
      // Body bytes on the wire do not mean the client is reading them: on a
      // loaded machine it may still wait for the status or the headers. Its
      // own log line says when it has begun reading the body.
      {"during a slow body", slowBody,
       [&] {
         return mServer.bodyBytesSent() > sentBefore &&
                mLog.written().find("Begin reveive body!", logFrom) != std::string::npos;
       },
       "Receive response error, "},
      // The request is out; the stack may still be returning from sending it.
      {"while the status is awaited", slowStatus, [&] { return true; }, "error"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = "/slow" + std::to_string(++n);
    mServer.on(path, c.answer);
    sentBefore = mServer.bodyBytesSent();
    requestsBefore = mServer.requests().size();
    logFrom = mLog.text().size();
    std::unique_ptr<HttpTransport> transport(createHttpTransport());
    PtrRef<HttpResponse> response;
    std::thread engine([&] { response = fetch(*transport, mServer.url(path)); });
    for (int i = 0; i < 2000 && !(mServer.requests().size() > requestsBefore && c.blocked()); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(transport->cancel());
    engine.join();
    EXPECT_EQ(TRANSPORT_CANCELLED, transport->mResult.load());
    ASSERT_TRUE(response);
    EXPECT_EQ(200, response->mStatusCode);
    EXPECT_EQ("", response->mEntity.mBody);
    EXPECT_LT(mServer.bodyBytesSent() - sentBefore, static_cast<long long>(c.answer.body.size()));
    const std::string log = mLog.text().substr(logFrom);
    EXPECT_NE(std::string::npos, log.find(c.logLine)) << log;
    EXPECT_NE(std::string::npos, log.find(" aborted (")) << log;
  }
}

// https against a local TLS server (the openssl command) whose certificate
// comes from a CA made for the test.
class HttpTransportTlsTest : public HttpTransportTest {
 protected:
  void SetUp() override {
    HttpTransportTest::SetUp();
    const char* openssl = "/usr/bin/openssl";
    if (::access(openssl, X_OK) != 0) GTEST_SKIP() << "no openssl command";
    const std::string d = mHome.path() + "/";
    const std::string o = openssl;
    const std::string script =
        o + " req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + d + "ca.key -out " + d +
        "ca.pem -days 2 -subj /CN=QvFlp1xTestCA -addext basicConstraints=critical,CA:TRUE -addext "
        "keyUsage=critical,keyCertSign && " +
        o + " req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + d + "server.key -out " + d +
        "server.csr -subj /CN=127.0.0.1 && printf 'subjectAltName=IP:127.0.0.1\\nextendedKeyUsage=serverAuth\\n' > " +
        d + "ext.cnf && " + o + " x509 -req -in " + d + "server.csr -CA " + d + "ca.pem -CAkey " + d +
        "ca.key -CAcreateserial -out " + d + "server.pem -days 2 -extfile " + d + "ext.cnf";
    ASSERT_EQ(0, std::system(("(" + script + ") >" + d + "openssl.log 2>&1").c_str()))
        << qvtest::readFile(d + "openssl.log");
    // A port is taken free and then by the server: try again if another
    // process took it in between.
    for (int attempt = 0; attempt < 3 && !serving(); ++attempt) {
      mPort = freePort();
      ASSERT_NE(0, mPort);
      mTlsServer.reset(new qvtest::Process(openssl,
                                        {"s_server", "-quiet", "-www", "-accept", "127.0.0.1:" + std::to_string(mPort),
                                         "-cert", d + "server.pem", "-key", d + "server.key"},
                                        mHome.path()));
      for (int i = 0; i < 500 && mTlsServer->running() && !serving(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    ASSERT_TRUE(serving()) << (mTlsServer ? mTlsServer->err() : std::string());
  }
  void TearDown() override {
    mTlsServer.reset();
    HttpTransportTest::TearDown();
  }

  static int freePort() {
    qvtest::DeadPort probe;  // bound, then released when it goes
    return probe.port();
  }
  bool serving() const {
    if (!mTlsServer || mPort == 0) return false;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(mPort));
    const bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (fd >= 0) ::close(fd);
    return ok;
  }

  int mPort = 0;
  std::unique_ptr<qvtest::Process> mTlsServer;
};

TEST_F(HttpTransportTlsTest, HttpsStaysHttpsWithTheCertificateVerified) {
  struct Case {
    const char* what;
    bool trustTestCa;
    int result;
    const char* logLine;
  } cases[] = {
      {"a server the phone trusts", true, TRANSPORT_OK, "HttpTransport update complate!"},
      {"a server it does not trust", false, TRANSPORT_FAILED, "Send request headers error: certificate (20)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.trustTestCa) {
      setText(kSystem, Hivra::kSettingExtraCaFile, mHome.path() + "/ca.pem");
    } else {
      FreshHome::settings().remove(kSystem, Hivra::kSettingExtraCaFile);
    }
    const std::size_t logFrom = mLog.text().size();
    std::unique_ptr<HttpTransport> transport(createHttpTransport());
    PtrRef<HttpResponse> response = fetch(*transport, "https://127.0.0.1:" + std::to_string(mPort) + "/");
    EXPECT_EQ(c.result, transport->mResult.load());
    const std::string log = mLog.text().substr(logFrom);
    EXPECT_NE(std::string::npos, log.find("Create Transaction for:https://127.0.0.1:" + std::to_string(mPort) + "/"));
    EXPECT_NE(std::string::npos, log.find(c.logLine)) << log;
    if (c.result == TRANSPORT_OK) {
      EXPECT_EQ(200, response->mStatusCode);
      // The TLS server's own status page: the exchange was TLS end to end.
      EXPECT_NE(std::string::npos, response->mEntity.mBody.find("s_server -quiet -www")) << response->mEntity.mBody;
    }
  }
}

}  // namespace
