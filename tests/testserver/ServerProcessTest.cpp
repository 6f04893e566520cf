// nr-testserver as a program and as an HTTP server facing bad clients:
// arguments, usage, signals, malformed and oversized requests, chunked
// bodies and 100-continue.
#include <gtest/gtest.h>

#include "ServerHarness.h"

namespace tstest {
namespace {

class ServerProcessTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    writeFile("next.xml", "NEXT");
  }
};

TEST_F(ServerProcessTest, BadArgumentsGiveUsageAndStatusTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--port", "0"},
      {"--root"},
      {"--root", dir + "/nowhere"},
      {"--root", root, "--port", "65536"},
      {"--root", root, "--port", "-1"},
      {"--root", root, "--port", "80x"},
      {"--root", root, "--mode", "flp3"},
      {"--root", root, "--max-body", "0"},
      {"--root", root, "--rules", dir + "/no-such-rules"},
      {"--root", root, "--bogus"},
      {"--root=" + root, "extra"},
  };
  for (const auto& args : cases) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    qvtest::Process p(kServer, args, dir);
    EXPECT_EQ(2, p.wait(10000)) << joined;
    EXPECT_NE(std::string::npos, p.err().find("usage: nr-testserver")) << joined << p.err();
    EXPECT_EQ("", p.out()) << joined;
  }
  qvtest::Process help(kServer, {"--help"}, dir);
  EXPECT_EQ(0, help.wait(10000));
  EXPECT_NE(std::string::npos, help.out().find("usage: nr-testserver"));
}

TEST_F(ServerProcessTest, StopSignalsEndItWithStatusZero) {
  for (int sig : {SIGTERM, SIGINT}) {
    qvtest::Process p(kServer, {"--root=" + root, "--port=0", "--mode=flp1x"}, dir);
    ASSERT_TRUE(p.waitForOutput("\n"));
    // A client that connects and sends nothing does not hold the stop up.
    const int fd = connectTo(std::atoi(p.out().c_str()));
    ASSERT_GE(fd, 0);
    p.signal(sig);
    EXPECT_EQ(0, p.wait(10000)) << sig;
    ::close(fd);
  }
}

TEST_F(ServerProcessTest, MalformedAndOversizedRequestsAreRefused) {
  start({"--max-body", "1000"});
  const std::string huge(70 * 1024, 'a');
  struct Case {
    const char* name;
    std::string raw;
    int status;
  };
  const std::vector<Case> cases = {
      {"not a request line", "GARBAGE\r\n\r\n", 400},
      {"header without colon", "GET /x HTTP/1.1\r\nNoColon\r\n\r\n", 400},
      {"folded header", "GET /x HTTP/1.1\r\nA: b\r\n c\r\n\r\n", 400},
      {"space before colon", "GET /x HTTP/1.1\r\nA : b\r\n\r\n", 400},
      {"bare CR", "GET /x HTTP/1.1\r\nA: b\rc\r\n\r\n", 400},
      {"other HTTP version", "GET /x HTTP/2.0\r\n\r\n", 505},
      {"CONNECT", "CONNECT 127.0.0.1:443 HTTP/1.1\r\n\r\n", 501},
      {"huge header", "GET /x HTTP/1.1\r\nX-Big: " + huge + "\r\n\r\n", 431},
      {"body over the bound", "POST /x HTTP/1.1\r\nContent-Length: 1001\r\n\r\n", 413},
      {"length not a number", "POST /x HTTP/1.1\r\nContent-Length: 12a\r\n\r\n", 400},
      {"two different lengths", "POST /x HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", 400},
      {"length and chunked", "POST /x HTTP/1.1\r\nContent-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n", 400},
      {"unknown transfer coding", "POST /x HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n", 501},
      {"bad chunk size", "POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", 400},
      {"chunks over the bound", "POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3e9\r\n", 413},
  };
  for (const Case& c : cases) {
    const Reply r = send(c.raw);
    EXPECT_EQ(c.status, r.status) << c.name << "\n" << r.raw;
  }
  // None of them reached the log, and the server still serves.
  EXPECT_TRUE(logLines().empty());
  EXPECT_EQ("NEXT", send(dcdPost(contentUpdate("sync-anchor=\"next.xml\" "))).body);
}

TEST_F(ServerProcessTest, ChunkedBodiesAndExpectContinueAreRead) {
  start();
  const std::string xml = contentUpdate("sync-anchor=\"next.xml\" ");
  const std::string chunked = "POST /dcd HTTP/1.1\r\nHost: h\r\nContent-Type: " + kDcdType +
                              "\r\nTransfer-Encoding: chunked\r\n\r\n" + "a;ext=1\r\n" + xml.substr(0, 10) + "\r\n" +
                              [&] {
                                char size[16];
                                std::snprintf(size, sizeof size, "%zx", xml.size() - 10);
                                return std::string(size);
                              }() +
                              "\r\n" + xml.substr(10) + "\r\n0\r\nX-Trailer: t\r\n\r\n";
  EXPECT_EQ("NEXT", send(chunked).body);

  // 100-continue: the body is sent only after the interim answer.
  const int fd = connectTo(port);
  ASSERT_GE(fd, 0);
  const std::string head = "POST /dcd HTTP/1.1\r\nHost: h\r\nContent-Type: " + kDcdType +
                           "\r\nExpect: 100-continue\r\nContent-Length: " + std::to_string(xml.size()) + "\r\n\r\n";
  ASSERT_TRUE(sendAll(fd, head));
  std::string interim;
  while (interim.find("\r\n\r\n") == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(1, ::poll(&p, 1, 10000));
    char c;
    ASSERT_EQ(1, ::recv(fd, &c, 1, 0));
    interim += c;
  }
  EXPECT_EQ("HTTP/1.1 100 Continue\r\n\r\n", interim);
  ASSERT_TRUE(sendAll(fd, xml));
  Reply r;
  readToEnd(fd, r);
  ::close(fd);
  parseReply(r);
  EXPECT_EQ("NEXT", r.body);

  const std::vector<std::string> log = logLines();
  ASSERT_EQ(2u, log.size());
  for (const std::string& line : log) {
    EXPECT_NE(std::string::npos, line.find("\"body\":\"<dcd  version=\\\"0.8\\\" >\\n<content-update-request"))
        << line;
    EXPECT_NE(std::string::npos, line.find("</dcd>\\n\",\"bodyEncoding\":\"text\"")) << line;
  }
}

}  // namespace
}  // namespace tstest
