// nr-testserver in FLP 1.x mode: type-1 sync packages by request path
// (gzip when accepted, headers from sidecars), type-2 multipart by ids,
// type-3 files by the last path segment.
#include <gtest/gtest.h>

#include "ServerHarness.h"

namespace tstest {
namespace {

const std::string kXmlType = "application/vnd.kestrova.quorvel+xml";
const std::string kGzipType = "application/vnd.kestrova.quorvel+gzip";

class Flp1xModeTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    // Large enough that a body cut or left unpacked would show.
    package = "<sync-pkg>";
    for (int i = 0; i < 2000; ++i) package += "<feed ctxt-id=\"" + std::to_string(i) + "\"/>";
    package += "</sync-pkg>";
    writeFile("sync.xml", package);
    writeFile("sync.xml.rules", "header X-FL-NextURI: /feeds/next.xml\n");
    ASSERT_EQ(0, ::mkdir((root + "/feeds").c_str(), 0755));
    writeFile("feeds/next.xml", "<sync-pkg ttl=\"3600\"/>");
    writeFile("index.xml", "<sync-pkg index=\"1\"/>");
    writeFile("a1.gif", std::string("GIF\0a1", 6));
    writeFile("t1", "<template/>");
    writeFile(dir + "/secret", "SECRET");
    start({"--mode", "flp1x"});
  }
  std::string package;
};

TEST_F(Flp1xModeTest, Type1IsTheSyncPackageAtTheRequestPath) {
  struct Case {
    std::string target;
    std::string accept;
    int status;
    std::string type;
    std::string body;  // after inflating
    std::string nextUri;
  };
  const std::vector<Case> cases = {
      {"/sync.xml", kXmlType, 200, kXmlType, package, "/feeds/next.xml"},
      {"/sync.xml", kGzipType, 200, kGzipType, package, "/feeds/next.xml"},
      {"/feeds/next.xml", kGzipType + ", */*", 200, kGzipType, "<sync-pkg ttl=\"3600\"/>", ""},
      {"/", kXmlType, 200, kXmlType, "<sync-pkg index=\"1\"/>", ""},
      {"/feeds/", kXmlType, 404, "", "", ""},
      {"/feeds/../../secret", kXmlType, 404, "", "", ""},
      {"/%2e%2e/secret", kXmlType, 404, "", "", ""},
      {"/missing.xml", kXmlType, 404, "", "", ""},
  };
  for (const Case& c : cases) {
    const Reply r = send(request("GET", c.target,
                                 {"Accept: " + c.accept, "X-FL-RequestType: man", "X-FL-MSISDN: 123"}));
    ASSERT_TRUE(r.ok) << c.target;
    EXPECT_EQ(c.status, r.status) << c.target;
    EXPECT_EQ(c.type, r.header("Content-Type")) << c.target;
    // The compression is the content type's, not a transfer encoding.
    EXPECT_FALSE(r.hasHeader("Content-Encoding")) << c.target;
    EXPECT_EQ(c.body, c.type == kGzipType ? gunzip(r.body) : r.body) << c.target;
    EXPECT_EQ(c.nextUri, r.header("X-FL-NextURI")) << c.target;
  }
  const std::vector<std::string> log = logLines();
  ASSERT_EQ(cases.size(), log.size());
  EXPECT_NE(std::string::npos, log[0].find("[\"X-FL-MSISDN\",\"123\"]"));
  EXPECT_NE(std::string::npos, log[0].find("\"kind\":\"type-1\",\"answer\":\"sync.xml\""));
}

TEST_F(Flp1xModeTest, Type2IsMultipartOfTheIdsAndType3TheFileOfTheLastSegment) {
  Reply r = send(request("GET", "/sync.xml", {"X-FL-RequestType: data", "X-FL-Request-Id: t1,nothing,a1.gif"}));
  ASSERT_EQ(200, r.status);
  std::vector<Part> parts;
  // The boundary is unquoted: the type-2 reader takes the text after "=".
  EXPECT_EQ("multipart/mixed; boundary=foobar123-1234", r.header("Content-Type"));
  ASSERT_TRUE(splitMultipart(r.header("Content-Type"), r.body, parts)) << r.body;
  ASSERT_EQ(2u, parts.size());
  EXPECT_EQ("t1", parts[0].headers[1].second);
  EXPECT_EQ("<template/>", parts[0].body);
  EXPECT_EQ("a1.gif", parts[1].headers[1].second);
  EXPECT_EQ("image/gif", parts[1].headers[0].second);
  EXPECT_EQ(std::string("GIF\0a1", 6), parts[1].body);

  EXPECT_EQ(400, send(request("GET", "/sync.xml", {"X-FL-RequestType: data"})).status);

  r = send(request("GET", "/media/x/a1.gif", {"X-FL-RequestType: data3"}));
  EXPECT_EQ(200, r.status);
  EXPECT_EQ("image/gif", r.header("Content-Type"));
  EXPECT_EQ(std::string("GIF\0a1", 6), r.body);
}

}  // namespace
}  // namespace tstest
