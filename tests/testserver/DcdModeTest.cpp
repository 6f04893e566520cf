// nr-testserver in DCD mode: which file answers which request, the
// multipart and by-URL data answers, the request log.
#include <gtest/gtest.h>

#include "ServerHarness.h"

namespace tstest {
namespace {

class DcdModeTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    writeFile("content-update-response.xml", "CU-EMPTY");
    writeFile("next.xml", "NEXT");
    writeFile("default.xml", "DEFAULT");
    writeFile("get-response.xml", "GET");
    writeFile("service-registration-response.xml", "REG");
    writeFile(dir + "/secret", "SECRET");
  }
};

TEST_F(DcdModeTest, RequestElementAndSyncAnchorChooseTheAnswerFile) {
  start();
  struct Case {
    const char* name;
    std::string request;
    int status;
    std::string body;
    std::string kind;
  };
  const std::string cuNoApp =
      "<dcd><content-update-request request-trigger=\"man\" expected-content=\"complete\"/></dcd>";
  const std::string xxe =
      "<?xml version=\"1.0\"?><!DOCTYPE dcd [<!ENTITY x SYSTEM \"file://" + dir +
      "/secret\">]><dcd><content-update-request><application id=\"A\" name=\"N\" sync-anchor=\"&x;\"/>"
      "</content-update-request></dcd>";
  const std::vector<Case> cases = {
      {"empty anchor", dcdPost(contentUpdate("sync-anchor=\"\" ")), 200, "CU-EMPTY", "content-update"},
      {"anchor names a file", dcdPost(contentUpdate("sync-anchor=\"next.xml\" ")), 200, "NEXT", "content-update"},
      {"anchor file missing", dcdPost(contentUpdate("sync-anchor=\"gone.xml\" ")), 200, "DEFAULT", "content-update"},
      {"anchor outside the root", dcdPost(contentUpdate("sync-anchor=\"../secret\" ")), 200, "DEFAULT",
       "content-update"},
      {"get request", dcdPost("<dcd  version=\"0.8\" >\n<get-request />\n</dcd>\n"), 200, "GET", "get"},
      {"service registration",
       dcdPost("<dcd><service-registration-request client-msisdn=\"1\" application-id=\"A\" encryption=\"false\">"
               "<client-id subscriber-id=\"S\"/></service-registration-request></dcd>"),
       200, "REG", "service-registration"},
      {"no application", dcdPost(cuNoApp), 400, "", "content-update"},
      {"no sync-anchor attribute", dcdPost(contentUpdate("")), 400, "", "content-update"},
      {"not XML", dcdPost("hello"), 400, "", "invalid"},
      {"root is not dcd", dcdPost("<foo><get-request/></foo>"), 400, "", "invalid"},
      {"unsupported element", dcdPost("<dcd><notify action=\"x\"/></dcd>"), 400, "", "invalid"},
      {"truncated after the element", dcdPost("<dcd><get-request/>"), 400, "", "invalid"},
      {"external entity", dcdPost(xxe), 400, "", "invalid"},
      {"empty body", dcdPost(""), 400, "", "invalid"},
      {"other content type", request("POST", "/dcd", {"Content-Type: text/xml"}, "<dcd><get-request/></dcd>"), 415,
       "", "invalid"},
      {"no content type", request("POST", "/dcd", {}, "<dcd><get-request/></dcd>"), 400, "", "invalid"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const Reply r = send(c.request);
    ASSERT_TRUE(r.ok) << c.name;
    EXPECT_EQ(c.status, r.status) << c.name;
    EXPECT_EQ(c.body, r.body) << c.name;
    if (c.status == 200) {
      EXPECT_EQ(kDcdType, r.header("Content-Type")) << c.name;
    }
    EXPECT_EQ(std::to_string(r.body.size()), r.header("Content-Length")) << c.name;
    const std::vector<std::string> log = logLines();
    ASSERT_EQ(i + 1, log.size()) << c.name;
    EXPECT_NE(std::string::npos, log.back().find("\"kind\":\"" + c.kind + "\"")) << c.name << "\n" << log.back();
    EXPECT_NE(std::string::npos, log.back().find("\"status\":" + std::to_string(c.status))) << c.name;
  }

  // Without default.xml a missing anchor file is a 404.
  ASSERT_EQ(0, ::unlink((root + "/default.xml").c_str()));
  EXPECT_EQ(404, send(dcdPost(contentUpdate("sync-anchor=\"gone.xml\" "))).status);
}

TEST_F(DcdModeTest, DataRequestByIdsGetsMultipartOfTheNamedFilesInOrder) {
  // A part holding the default boundary, a NUL byte and line ends.
  const std::string gif = std::string("GIF89a\0\r\n--foobar123-1234\r\nend", 30);
  writeFile("img-1.gif", gif);
  writeFile("style.css", "body { color: red; }\r\n");
  start();
  const Reply r = send(request("POST", "/dcd",
                               {"X-FL-RequestType: data", "X-FL-Request-Id: img-1.gif,missing.png,style.css,../secret"}));
  ASSERT_EQ(200, r.status) << r.raw;
  const std::string type = r.header("Content-Type");
  ASSERT_EQ(0u, type.find("multipart/mixed; boundary=")) << type;
  std::vector<Part> parts;
  ASSERT_TRUE(splitMultipart(type, r.body, parts)) << r.body;
  ASSERT_EQ(2u, parts.size());
  const std::vector<std::pair<std::string, std::string>> gifHeaders{{"Content-Type", "image/gif"},
                                                                    {"Content-Id", "img-1.gif"}};
  const std::vector<std::pair<std::string, std::string>> cssHeaders{{"Content-Type", "text/css"},
                                                                    {"Content-Id", "style.css"}};
  EXPECT_EQ(gifHeaders, parts[0].headers);
  EXPECT_EQ(gif, parts[0].body);
  EXPECT_EQ(cssHeaders, parts[1].headers);
  EXPECT_EQ("body { color: red; }\r\n", parts[1].body);
  const std::vector<std::string> log = logLines();
  ASSERT_EQ(1u, log.size());
  EXPECT_NE(std::string::npos, log[0].find("\"kind\":\"data-by-ids\""));
}

TEST_F(DcdModeTest, DataRequestByUrlGetsTheFileOfTheLastPathSegment) {
  writeFile("logo.gif", std::string("GIF\0\1", 5));
  writeFile("notes", "plain");
  writeFile("my file.svg", "<svg/>");
  start();
  struct Case {
    std::string target;
    int status;
    std::string type;
    std::string body;
  };
  const std::vector<Case> cases = {
      {"/assets/logo.gif", 200, "image/gif", std::string("GIF\0\1", 5)},
      {"/assets/notes?x=1", 200, "text/plain", "plain"},
      {"/a/b/my%20file.svg", 200, "image/svg+xml", "<svg/>"},
      {"/assets/missing.gif", 404, "", ""},
      {"/assets/", 404, "", ""},
      {"/assets/..%2Fsecret", 404, "", ""},
      {"/assets/%zz", 404, "", ""},
  };
  for (const Case& c : cases) {
    const Reply r = send(request("GET", c.target, {"X-FL-RequestType: data"}));
    EXPECT_EQ(c.status, r.status) << c.target;
    EXPECT_EQ(c.type, r.header("Content-Type")) << c.target;
    EXPECT_EQ(c.body, r.body) << c.target;
  }
}

TEST_F(DcdModeTest, RequestLogHoldsExactlyWhatWasSent) {
  start();
  // Headers in their order, with a repeated name; a body with quotes, a line
  // feed and non-ASCII text; an absolute-form target as a proxy receives it.
  const std::string body = contentUpdate("sync-anchor=\"next.xml\" ") + "<!-- \"q\" \xc3\xa9 -->";
  const std::string raw = "POST http://origin.invalid:81/dcd?x=1 HTTP/1.1\r\nHost: origin.invalid:81\r\n"
                          "X-Dup: 1\r\nContent-Type: " + kDcdType + "\r\nX-Dup:   2  \r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\n\r\n" + body;
  EXPECT_EQ("NEXT", send(raw).body);
  // A body that is not UTF-8 is logged in base64.
  EXPECT_EQ(404, send(request("POST", "/assets/none.gif", {"X-FL-RequestType: data"}, std::string("\0\1\2\xff", 4)))
                     .status);

  const std::vector<std::string> log = logLines();
  ASSERT_EQ(2u, log.size());
  const std::string expected0 =
      "{\"seq\":1,\"method\":\"POST\",\"target\":\"http://origin.invalid:81/dcd?x=1\",\"path\":\"/dcd\","
      "\"version\":\"HTTP/1.1\",\"headers\":[[\"Host\",\"origin.invalid:81\"],[\"X-Dup\",\"1\"],[\"Content-Type\",\"" +
      kDcdType + "\"],[\"X-Dup\",\"2\"],[\"Content-Length\",\"" + std::to_string(body.size()) +
      "\"]],\"body\":\"<dcd  version=\\\"0.8\\\" >\\n<content-update-request  request-trigger=\\\"man\\\"  "
      "expected-content=\\\"complete\\\" >\\n<application id=\\\"A\\\" name=\\\"N\\\" sync-anchor=\\\"next.xml\\\" "
      ">\\n</application>\\n</content-update-request>\\n</dcd>\\n<!-- \\\"q\\\" \xc3\xa9 -->\",\"bodyEncoding\":\"text\","
      "\"kind\":\"content-update\",\"answer\":\"next.xml\",\"status\":200}";
  EXPECT_EQ(expected0, log[0]);
  EXPECT_NE(std::string::npos, log[1].find("\"body\":\"AAEC/w==\",\"bodyEncoding\":\"base64\"")) << log[1];
  EXPECT_NE(std::string::npos, log[1].find("\"answer\":\"none.gif\",\"status\":404")) << log[1];
}

}  // namespace
}  // namespace tstest
