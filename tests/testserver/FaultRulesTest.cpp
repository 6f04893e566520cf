// nr-testserver fault injection: rules by path, kind and file, sequences,
// sidecars, delay, drip, early close and gzip.
#include <gtest/gtest.h>

#include "ServerHarness.h"

namespace tstest {
namespace {

class FaultRulesTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    rulesPath = dir + "/rules";
    writeFile("content-update-response.xml", "CU-EMPTY");
    writeFile("next.xml", "NEXT");
    writeFile("other.xml", "OTHER");
    writeFile("logo.gif", "GIF89a-0123456789-0123456789-0123456789");
    writeFile(rulesPath, "# no rules yet\n");
  }
  void startWithRules() { start({"--rules", rulesPath}); }
  void setRules(const std::string& text) { writeFile(rulesPath, text); }

  std::string rulesPath;
};

const std::string kGetLogo = request("GET", "/assets/logo.gif", {"X-FL-RequestType: data"});

TEST_F(FaultRulesTest, RulesSetStatusHeadersAndBody) {
  startWithRules();
  struct Case {
    const char* name;
    std::string rules;
    std::string request;
    int status;
    std::vector<std::pair<std::string, std::string>> present;
    std::vector<std::string> absent;
    std::string body;
  };
  const std::string toNext = dcdPost(contentUpdate("sync-anchor=\"next.xml\" "));
  const std::vector<Case> cases = {
      {"redirect by path, port expanded", "[path /old]\nstatus 307\nheader Location: http://127.0.0.1:${PORT}/new\n",
       request("POST", "/old", {"Content-Type: " + kDcdType}, "<dcd><get-request/></dcd>"), 307,
       {{"Location", "http://127.0.0.1:" + std::to_string(port) + "/new"}}, {}, ""},
      {"other paths untouched", "[path /old]\nstatus 301\n", toNext, 200, {}, {"Location"}, "NEXT"},
      {"by answer file: header added, Content-Type removed", "[file next.xml]\nheader X-Extra: 1\nheader Content-Type:\n",
       toNext, 200, {{"X-Extra", "1"}}, {"Content-Type"}, "NEXT"},
      {"by kind: a 404 with a body", "[kind data-by-url]\nstatus 404\nbody-text not here\n", kGetLogo, 404,
       {{"Content-Length", "8"}}, {}, "not here"},
      {"body from another file", "[kind content-update]\nbody other.xml\n", toNext, 200,
       {{"Content-Type", kDcdType}}, {}, "OTHER"},
      {"later sections override earlier ones", "[any]\nstatus 500\n[file next.xml]\nstatus 503\n", toNext, 503, {}, {},
       "NEXT"},
      {"header replaced, value as set", "[any]\nheader content-type: text/x-odd\n", kGetLogo, 200,
       {{"content-type", "text/x-odd"}}, {}, "GIF89a-0123456789-0123456789-0123456789"},
  };
  for (const Case& c : cases) {
    setRules(c.rules);
    const Reply r = send(c.request);
    ASSERT_TRUE(r.ok) << c.name << r.raw;
    EXPECT_EQ(c.status, r.status) << c.name;
    for (const auto& h : c.present) {
      EXPECT_TRUE(r.hasHeader(h.first)) << c.name << ": " << h.first;
      EXPECT_EQ(h.second, r.header(h.first)) << c.name << ": " << h.first;
    }
    for (const auto& name : c.absent) EXPECT_FALSE(r.hasHeader(name)) << c.name << ": " << name;
    EXPECT_EQ(c.body, r.body) << c.name;
  }
}

TEST_F(FaultRulesTest, VerbatimStatusLineHeadersAndLyingLength) {
  writeFile(rulesPath, "[any]\nstatus-line HTTP/1.1 2x0 Whatever\nraw-header NoColonHere\nheader Content-Length: 99\n");
  startWithRules();
  const Reply r = send(kGetLogo);
  EXPECT_EQ(0u, r.raw.find("HTTP/1.1 2x0 Whatever\r\n")) << r.raw;
  EXPECT_NE(std::string::npos, r.raw.find("\r\nNoColonHere\r\n\r\n")) << r.raw;
  EXPECT_EQ("99", r.header("Content-Length"));
  EXPECT_EQ("GIF89a-0123456789-0123456789-0123456789", r.body);
}

TEST_F(FaultRulesTest, SequenceServesAnswersInOrderThenRepeatsTheLast) {
  const std::string rules = "[kind content-update]\nstatus 600\nbody-text gone\nnext\nnext\nstatus 503\n";
  writeFile(rulesPath, rules);
  startWithRules();
  const std::string cu = dcdPost(contentUpdate("sync-anchor=\"\" "));
  std::vector<std::pair<int, std::string>> got;
  for (int i = 0; i < 4; ++i) {
    const Reply r = send(cu);
    got.emplace_back(r.status, r.body);
  }
  // Another kind does not advance the sequence.
  EXPECT_EQ(200, send(kGetLogo).status);
  const std::vector<std::pair<int, std::string>> expected{{600, "gone"}, {200, "CU-EMPTY"}, {503, "CU-EMPTY"},
                                                          {503, "CU-EMPTY"}};
  EXPECT_EQ(expected, got);
  // A rewritten rules file starts its sequences over.
  setRules(rules);
  EXPECT_EQ(600, send(cu).status);
}

TEST_F(FaultRulesTest, SidecarAppliesToItsFileAndTheRulesFileOverridesIt) {
  writeFile("next.xml.rules", "header X-FL-NextURI: /second.xml\nstatus 202\nnext\nstatus 203\n");
  startWithRules();
  const std::string toNext = dcdPost(contentUpdate("sync-anchor=\"next.xml\" "));
  Reply r = send(toNext);
  EXPECT_EQ(202, r.status);
  EXPECT_EQ("/second.xml", r.header("X-FL-NextURI"));
  setRules("[file next.xml]\nheader X-FL-NextURI: /third.xml\n");
  r = send(toNext);
  EXPECT_EQ(203, r.status);
  EXPECT_EQ("/third.xml", r.header("X-FL-NextURI"));
  // Other answers do not see the sidecar.
  EXPECT_FALSE(send(dcdPost(contentUpdate("sync-anchor=\"\" "))).hasHeader("X-FL-NextURI"));
}

TEST_F(FaultRulesTest, CloseAfterCutsTheBodyShort) {
  startWithRules();
  setRules("[any]\nclose-after 5\n");
  Reply r = send(kGetLogo);
  EXPECT_EQ(200, r.status);
  EXPECT_EQ("39", r.header("Content-Length"));
  EXPECT_EQ("GIF89", r.body);
  EXPECT_EQ(0, r.error);

  setRules("[any]\nclose-after 5 reset\n");
  r = send(kGetLogo);
  EXPECT_EQ(ECONNRESET, r.error) << r.raw;
  EXPECT_LE(r.body.size(), 5u);

  setRules("[any]\nclose-after 0\n");
  r = send(kGetLogo);
  EXPECT_EQ(200, r.status);
  EXPECT_EQ("", r.body);
}

TEST_F(FaultRulesTest, GzipEncodesTheBodyAlwaysOrWhenAccepted) {
  startWithRules();
  const std::string file = "GIF89a-0123456789-0123456789-0123456789";
  struct Case {
    std::string rules;
    std::vector<std::string> requestHeaders;
    bool gzipped;
  };
  const std::vector<Case> cases = {
      {"[any]\ngzip\n", {"X-FL-RequestType: data"}, true},
      {"[any]\ngzip if-accepted\n", {"X-FL-RequestType: data"}, false},
      {"[any]\ngzip if-accepted\n", {"X-FL-RequestType: data", "Accept-Encoding: deflate, gzip"}, true},
  };
  for (const Case& c : cases) {
    setRules(c.rules);
    const Reply r = send(request("GET", "/assets/logo.gif", c.requestHeaders));
    ASSERT_EQ(200, r.status) << c.rules;
    EXPECT_EQ("image/gif", r.header("Content-Type"));
    EXPECT_EQ(std::to_string(r.body.size()), r.header("Content-Length"));
    if (c.gzipped) {
      EXPECT_EQ("gzip", r.header("Content-Encoding")) << c.rules;
      EXPECT_EQ(file, gunzip(r.body)) << c.rules;
    } else {
      EXPECT_FALSE(r.hasHeader("Content-Encoding")) << c.rules;
      EXPECT_EQ(file, r.body) << c.rules;
    }
  }
}

TEST_F(FaultRulesTest, DripSendsTheBodyInPieces) {
  writeFile(rulesPath, "[any]\ndrip 10 300\n");
  startWithRules();
  const int fd = connectTo(port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(sendAll(fd, kGetLogo));
  // Read as soon as anything arrives until the body has begun: the rest of
  // it is still on its way.
  std::string raw;
  std::size_t bodyStart = std::string::npos;
  while (bodyStart == std::string::npos || raw.size() <= bodyStart) {
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(1, ::poll(&p, 1, 10000));
    char buf[4096];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    ASSERT_GT(n, 0);
    raw.append(buf, static_cast<std::size_t>(n));
    const std::size_t end = raw.find("\r\n\r\n");
    if (end != std::string::npos) bodyStart = end + 4;
  }
  EXPECT_LT(raw.size() - bodyStart, 39u);
  Reply r;
  r.raw = raw;
  readToEnd(fd, r);
  ::close(fd);
  parseReply(r);
  EXPECT_EQ("GIF89a-0123456789-0123456789-0123456789", r.body);
}

TEST_F(FaultRulesTest, DelayHoldsTheStatusAndAStopEndsIt) {
  writeFile(rulesPath, "[any]\ndelay 600000\n");
  startWithRules();
  const int fd = connectTo(port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(sendAll(fd, kGetLogo));
  pollfd p{fd, POLLIN, 0};
  EXPECT_EQ(0, ::poll(&p, 1, 300)) << "answered before the delay";
  // The request is logged when it arrives, before the delay.
  EXPECT_EQ(1u, logLines().size());
  server->signal(SIGTERM);
  EXPECT_EQ(0, server->wait(10000));
  Reply r;
  readToEnd(fd, r);
  ::close(fd);
  EXPECT_EQ("", r.raw);
}

TEST_F(FaultRulesTest, RulesThatDoNotParseAreReported) {
  const std::vector<std::string> bad = {
      "status 200\n",                        // before any section
      "[any]\nstatus 42\n",                  // not a status code
      "[any]\nfrobnicate\n",                 // unknown directive
      "[kind nonsense]\n",                   // unknown kind
      "[path relative]\n",                   // a path begins with /
      "[any]\ndrip 0 10\n",                  // empty pieces
      "[any]\nbody ../outside\n",            // outside the root
      "[any]\nclose-after 3 gently\n",
      "[any]\nheader NoColon\n",
  };
  for (const std::string& text : bad) {
    writeFile(rulesPath, "# comment\n" + text);
    qvtest::Process p(kServer, {"--root", root, "--port", "0", "--rules", rulesPath}, dir);
    EXPECT_EQ(2, p.wait(10000)) << text;
    EXPECT_NE(std::string::npos, p.err().find(rulesPath + ":")) << text << p.err();
  }
  // A rules file broken while the server runs gives 500 with the reason,
  // and the server goes on.
  writeFile(rulesPath, "[any]\nstatus 201\n");
  startWithRules();
  EXPECT_EQ(201, send(kGetLogo).status);
  setRules("[any]\nstatus x\n");
  const Reply r = send(kGetLogo);
  EXPECT_EQ(500, r.status);
  EXPECT_NE(std::string::npos, r.body.find("status needs a code")) << r.body;
  setRules("[any]\n");
  EXPECT_EQ(200, send(kGetLogo).status);
}

}  // namespace
}  // namespace tstest
