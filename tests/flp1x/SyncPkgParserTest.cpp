// The sync-package parser: declared attributes, values and counts, the time
// rules, the server clock, duplicate ids, and hostile documents.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "Flp1xTestSupport.h"
#include "PushDocuments.h"
#include "RecordingFacade.h"
#include "SyncPkg.h"
#include "XMLParser.h"

namespace {

using flp1xtest::kNow;

const char kMeta[] = "<meta><global-meta anchor=\"g\" ttl=\"60000\" server-time=\"0\"/></meta>";
const char kMetaPrinted[] = "<meta><global-meta anchor=\"g\" ttl=\"60000\" server-time=\"0000\"/></meta>";

std::string pkg(const std::string& feeds) { return std::string("<sync-pkg>") + kMeta + feeds + "</sync-pkg>"; }
std::string printed(const std::string& feeds) {
  return std::string("<sync-pkg>") + kMetaPrinted + feeds + "</sync-pkg>";
}
std::string nested(int depth) {
  std::string open;
  std::string close;
  for (int i = 0; i < depth; ++i) {
    open += "<x>";
    close += "</x>";
  }
  return open + close;
}

class SyncPkgParserTest : public ::testing::Test {
 protected:
  void SetUp() override { TimeValue::setClockForTesting(&flp1xtest::fixedNow); }
  void TearDown() override { TimeValue::setClockForTesting(nullptr); }
};

TEST_F(SyncPkgParserTest, DocumentsGiveTheirTreeOrTheirError) {
  struct Case {
    const char* what;
    std::string document;
    bool ok;
    std::string expected;  // ok: the tree as printed; otherwise a line of the error text
    std::string logLine;   // failures: a line the log must hold (may be empty)
  };
  const std::string link = "<link rel=\"alternate\" type=\"text/html\" href=\"http://a/?x=1&amp;y=2\"/>";
  const std::string content = "<content type=\"image/png\" mode=\"inline\" name=\"image\" ctxt-id=\"c1\">v</content>";
  const Case cases[] = {
      {"minimal package", pkg(""), true, printed(""), ""},
      {"excerpt true and false", pkg("<feed ctxt-id=\"f\" excerpt=\"true\"><entry ctxt-id=\"e\" excerpt=\"false\"/></feed>"),
       true, printed("<feed ctxt-id=\"f\" excerpt=\"true\"><entry ctxt-id=\"e\" excerpt=\"false\"/></feed>"), ""},
      {"empty-element link followed by a content", pkg("<feed ctxt-id=\"f\">" + link + content + "</feed>"), true,
       printed("<feed ctxt-id=\"f\">" + link + content + "</feed>"), ""},
      {"unknown element skipped, its known children taken",
       pkg("<feed ctxt-id=\"f\"><entry ctxt-id=\"e\"><x-note lang=\"en\"><title>T</title></x-note></entry></feed>"), true,
       printed("<feed ctxt-id=\"f\"><entry ctxt-id=\"e\"><title>T</title></entry></feed>"), ""},
      {"CDATA is text", pkg("<feed ctxt-id=\"f\"><title><![CDATA[News & <Views>]]></title></feed>"), true,
       printed("<feed ctxt-id=\"f\"><title>News &amp; &lt;Views&gt;</title></feed>"), ""},
      {"CDATA joins the text around it", pkg("<feed ctxt-id=\"f\"><title>News <![CDATA[&]]> Views</title></feed>"),
       true, printed("<feed ctxt-id=\"f\"><title>News &amp; Views</title></feed>"), ""},
      {"the last text node is the value", pkg("<feed ctxt-id=\"f\"><title>a<!-- c -->b</title></feed>"), true,
       printed("<feed ctxt-id=\"f\"><title>b</title></feed>"), ""},
      {"children in any order, unknown attributes ignored",
       std::string("<sync-pkg><feed ctxt-id=\"f\" colour=\"red\"/>") + kMeta + "</sync-pkg>", true,
       printed("<feed ctxt-id=\"f\"/>"), ""},
      {"int reads the number at the start",
       "<sync-pkg><meta><global-meta anchor=\"g\" ttl=\"60000\" server-time=\"0\"/>"
       "<feed-meta ctxt-id=\"f\" anchor=\"a\" target=\"t\" order=\" 12abc\"/></meta></sync-pkg>",
       true,
       "<sync-pkg><meta><global-meta anchor=\"g\" ttl=\"60000\" server-time=\"0000\"/>"
       "<feed-meta ctxt-id=\"f\" anchor=\"a\" target=\"t\" order=\"12\"/></meta></sync-pkg>",
       ""},
      {"an external DTD is not fetched",
       "<!DOCTYPE sync-pkg SYSTEM \"http://unreachable.invalid/sync.dtd\">" + pkg(""), true, printed(""), ""},
      {"empty ids are not compared", pkg("<feed ctxt-id=\"\"/><feed ctxt-id=\"\"/>"), true,
       printed("<feed ctxt-id=\"\"/><feed ctxt-id=\"\"/>"), ""},

      {"no meta", "<sync-pkg></sync-pkg>", false,
       "Unable to handle this child element, sync-pkg. Marking this element as invalid and aborting.",
       "Element number error:meta"},
      {"two metas", std::string("<sync-pkg>") + kMeta + kMeta + "</sync-pkg>", false,
       "Unable to handle this child element, sync-pkg.", "Element number error:meta"},
      {"global-meta without ttl", "<sync-pkg><meta><global-meta anchor=\"g\" server-time=\"0\"/></meta></sync-pkg>",
       false, "Element [global-meta] handleattribute [ttl] error!", "Attribute ttl is required, but not presend."},
      {"excerpt yes", pkg("<feed ctxt-id=\"f\"><entry ctxt-id=\"e\" excerpt=\"yes\"/></feed>"), false,
       "Element [entry] handleattribute [excerpt] error!", ""},
      {"author with only a name",
       pkg("<feed ctxt-id=\"f\"><entry ctxt-id=\"e\"><author><name>n</name></author></entry></feed>"), false,
       "ElementShell entry handleChildElement \"author\" error!", "Element number error:url"},
      {"two titles", pkg("<feed ctxt-id=\"f\"><title>a</title><title>b</title></feed>"), false,
       "Unable to handle this child element, feed.", "Element number error:title"},
      {"link without href", pkg("<feed ctxt-id=\"f\"><link rel=\"alternate\" type=\"t\"/></feed>"), false,
       "Element [link] handleattribute [href] error!", "Attribute href is required"},
      {"int beyond its range",
       "<sync-pkg><meta><global-meta anchor=\"g\" ttl=\"1\" server-time=\"0\"/>"
       "<feed-meta ctxt-id=\"f\" anchor=\"a\" target=\"t\" order=\"99999999999\"/></meta></sync-pkg>",
       false, "Element [feed-meta] handleattribute [order] error!", ""},
      {"time that does not parse",
       "<sync-pkg><meta><global-meta anchor=\"g\" ttl=\"soon\" server-time=\"0\"/></meta></sync-pkg>", false,
       "Element [global-meta] handleattribute [ttl] error!", ""},
      {"time that overflows",
       "<sync-pkg><meta><global-meta anchor=\"g\" ttl=\"1\" server-time=\"99999999999999999999999999\"/></meta>"
       "</sync-pkg>",
       false, "Element [global-meta] handleattribute [server-time] error!", ""},
      {"value that does not parse", pkg("<feed ctxt-id=\"f\"><entry ctxt-id=\"e\"><issued>12x4567</issued></entry></feed>"),
       false, "Unable to handle this element's value, issued", ""},
      {"duplicate feed ids", pkg("<feed ctxt-id=\"f\"/><feed ctxt-id=\"f\"/>"), false, "Feed id f already exist!", ""},
      {"an entry with its feed's id", pkg("<feed ctxt-id=\"f\"><entry ctxt-id=\"f\"/></feed>"), false,
       "entry id f already exist!", ""},
      {"one entry id in two feeds",
       pkg("<feed ctxt-id=\"f1\"><entry ctxt-id=\"e\"/></feed><feed ctxt-id=\"f2\"><entry ctxt-id=\"e\"/></feed>"),
       false, "entry id e already exist!", ""},
      {"empty document", "", false, "Create xml reader failed: the document is empty",
       "The xmlbody is empty!"},
      {"not XML", "this is not a sync package", false, "Unable to find start of element sync-pkg.", ""},
      {"another root", "<html><body/></html>", false, "Unable to find start of element sync-pkg.", ""},
      {"truncated", pkg("<feed ctxt-id=\"f\"><entry ctxt-id=\"e\"><title>cut").substr(0, 120), false,
       "Unable to handle this child element, sync-pkg.", ""},
      {"mismatched tags", pkg("<feed ctxt-id=\"f\"></entry></feed>"), false, "The document is not well-formed XML",
       ""},
      {"entity declarations",
       "<!DOCTYPE sync-pkg [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">]>" +
           pkg("<feed ctxt-id=\"&b;\"/>"),
       false, "Create xml reader failed: the document declares entities", ""},
      {"nested too deep", pkg("<feed ctxt-id=\"f\">" + nested(40) + "</feed>"), false,
       "Element x is nested too deep.", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LogCapture log;
    SyncPkg p;
    ASSERT_EQ(c.ok, p.parse(c.document)) << p.errorText() << "\n" << log.text();
    if (c.ok) {
      EXPECT_EQ(c.expected, p.toXml());
      EXPECT_EQ("", p.errorText());
    } else {
      EXPECT_NE(std::string::npos, p.errorText().find(c.expected)) << p.errorText();
      EXPECT_TRUE(log.contains(c.logLine)) << log.text();
      EXPECT_TRUE(log.contains("SyncPkg Parse failed!") || log.contains("already exist!")) << log.text();
    }
    // A parse never leaves its server clock to the next one.
    EXPECT_EQ(0, SyncPkg::serverTime());
  }
}

TEST_F(SyncPkgParserTest, ErrorTextRunsFromTheFailingElementOutwards) {
  SyncPkg p;
  ASSERT_FALSE(p.parse(pkg("<feed ctxt-id=\"f\"><entry ctxt-id=\"e\" excerpt=\"maybe\"/></feed>")));
  EXPECT_EQ(
      "Element [entry] handleattribute [excerpt] error!\n"
      "Unable to handle this element's attributes, entry. Marking this element as invalid and aborting.\n"
      "ElementShell feed handleChildElement \"entry\" error!\n"
      "Unable to handle this child element, feed. Marking this element as invalid and aborting.\n"
      "ElementShell sync-pkg handleChildElement \"feed\" error!\n"
      "Unable to handle this child element, sync-pkg. Marking this element as invalid and aborting.",
      p.errorText());
}

TEST_F(SyncPkgParserTest, ElementCountIsBounded) {
  std::string entries;
  for (int i = 0; i < 100; ++i) entries += "<entry ctxt-id=\"e" + std::to_string(i) + "\"/>";
  const std::string document = pkg("<feed ctxt-id=\"f\">" + entries + "</feed>");
  SyncPkg bounded;
  EXPECT_FALSE(bounded.parse(document, XMLParser(XMLParser::kDefaultMaxDepth, 50)));
  EXPECT_NE(std::string::npos, bounded.errorText().find("The document has more than 50 elements.")) << bounded.errorText();
  SyncPkg roomy;
  ASSERT_TRUE(roomy.parse(document, XMLParser(XMLParser::kDefaultMaxDepth, 200)));
  EXPECT_EQ(100u, roomy.entryCount());

  // Unknown elements count too, and are not logged one by one without end.
  std::string unknown;
  for (int i = 0; i < 100; ++i) unknown += "<x-junk/>";
  LogCapture log;
  SyncPkg junk;
  EXPECT_TRUE(junk.parse(pkg("<feed ctxt-id=\"f\">" + unknown + "</feed>")));
  EXPECT_EQ(static_cast<size_t>(XMLParser::kMaxUnknownLogged), log.count("Not find the element:x-junk"));
  EXPECT_TRUE(log.contains("84 more unknown elements skipped")) << log.text();
  SyncPkg tooMany;
  EXPECT_FALSE(tooMany.parse(pkg("<feed ctxt-id=\"f\">" + unknown + "</feed>"), XMLParser(32, 60)));
}

TEST(TimeValueRules, TextToSecondsAndBack) {
  struct TimeCase {
    const char* text;
    bool ok;
    long seconds;
  };
  const TimeCase times[] = {
      {"86400000", true, 86400}, {"5", true, 1},      {"0", true, 0},        {"999", true, 1},
      {"1000", true, 1},         {"1999", true, 1},   {" 60000\n", true, 60}, {"00", true, 1},
      {"9223372036854775807999", true, LONG_MAX},
      {"", false, 0},            {"soon", false, 0},  {"12a4567", false, 0}, {"-5000", false, 0},
      {"+5000", false, 0},       {"9223372036854775808000", false, 0},
  };
  for (const TimeCase& c : times) {
    SCOPED_TRACE(c.text);
    long seconds = -7;
    EXPECT_EQ(c.ok, xmlvalue::readTime(c.text, seconds));
    EXPECT_EQ(c.ok ? c.seconds : -7, seconds);
  }
  EXPECT_EQ("86400000", xmlvalue::writeTime(86400));
  EXPECT_EQ("0000", xmlvalue::writeTime(0));

  struct IntCase {
    const char* text;
    bool ok;
    int value;
  };
  const IntCase ints[] = {
      {"12abc", true, 12}, {" -3", true, -3}, {"2147483647", true, INT_MAX},
      {"abc", false, 0},   {"", false, 0},    {"2147483648", false, 0},
  };
  for (const IntCase& c : ints) {
    SCOPED_TRACE(c.text);
    int value = -7;
    EXPECT_EQ(c.ok, xmlvalue::readInt(c.text, value));
    EXPECT_EQ(c.ok ? c.value : -7, value);
  }
  bool b = false;
  EXPECT_TRUE(xmlvalue::readBool("true", b) && b);
  EXPECT_TRUE(xmlvalue::readBool("false", b) && !b);
  EXPECT_FALSE(xmlvalue::readBool("TRUE", b));
  EXPECT_FALSE(xmlvalue::readBool("1", b));
}

TEST_F(SyncPkgParserTest, LifespanTimesBecomePhoneTimes) {
  // The server's clock is 10000 s behind the phone's.
  const long server = kNow - 10000;
  const std::string document =
      "<sync-pkg><meta><global-meta anchor=\"g\" ttl=\"0\" server-time=\"" + std::to_string(server) +
      "000\"/></meta><feed ctxt-id=\"f\">"
      "<entry ctxt-id=\"rel\"><activation type=\"rel\">60000</activation><expiration type=\"rel\">3600000</expiration></entry>"
      "<entry ctxt-id=\"server\"><activation>" + std::to_string(server + 100) + "000</activation>"
      "<expiration type=\"REL\">" + std::to_string(server + 200) + "000</expiration></entry>"
      "<entry ctxt-id=\"issued\"><issued>" + std::to_string(server) + "123</issued></entry>"
      "</feed></sync-pkg>";
  SyncPkg p;
  ASSERT_TRUE(p.parse(document)) << p.errorText();
  const auto& entries = p.feeds().at(0)->entries();
  ASSERT_EQ(3u, entries.size());
  EXPECT_EQ(kNow + 60, entries[0]->activation()->value()->seconds());
  EXPECT_EQ(kNow + 3600, entries[0]->expiration()->value()->seconds());
  // Server clock times move by the difference of the clocks ("REL" is not "rel").
  EXPECT_EQ(kNow + 100, entries[1]->activation()->value()->seconds());
  EXPECT_EQ(kNow + 200, entries[1]->expiration()->value()->seconds());
  // Issued is taken as it stands.
  EXPECT_EQ(server, entries[2]->issued()->value()->seconds());
  EXPECT_EQ(0, p.meta()->globalMeta()->ttl()->seconds());
  EXPECT_EQ(0, SyncPkg::serverTime());

  // A lifespan far in the future saturates instead of wrapping.
  SyncPkg far;
  ASSERT_TRUE(far.parse(pkg("<feed ctxt-id=\"f\"><entry ctxt-id=\"e\"><expiration type=\"rel\">"
                            "9223372036854775807000</expiration></entry></feed>")));
  EXPECT_EQ(LONG_MAX, far.feeds()[0]->entries()[0]->expiration()->value()->seconds());
}

TEST_F(SyncPkgParserTest, TheFirstSampleReadsCompletely) {
  SyncPkg p;
  ASSERT_TRUE(p.parse(flp1xtest::sample("sync-first.xml"))) << p.errorText();
  ASSERT_NE(nullptr, p.meta());
  EXPECT_EQ("g-2026-01", *p.meta()->globalMeta()->anchor());
  EXPECT_EQ(3600, p.meta()->globalMeta()->ttl()->seconds());
  ASSERT_EQ(3u, p.meta()->feedMetas().size());
  EXPECT_EQ("1.6", *p.meta()->generator()->version());
  ASSERT_EQ(3u, p.feeds().size());
  EXPECT_EQ(6u, p.entryCount());
  const FeedElement& news = *p.feeds()[0];
  EXPECT_EQ("tpl-news-entry", *news.entryTemplateId());
  EXPECT_EQ("Headlines & more", *news.summary()->value());
  // The sample's server clock equals the fixed "now"; the expiration is a server time.
  EXPECT_EQ(
      "<entry ctxt-id=\"news-1\" template-id=\"default\" entry-type=\"csio\" excerpt=\"true\" order=\"1\">"
      "<title>Markets rally</title><summary>Stocks rose\non Monday.</summary>"
      "<link rel=\"related\" type=\"text/html\" href=\"http://news.example/1\"/>"
      "<content type=\"image/jpeg\" name=\"image\" ctxt-id=\"img-shared\"/>"
      "<content type=\"text/plain\" name=\"excerpt\" ctxt-id=\"news-1-excerpt\">Stocks rose.</content>"
      "<issued>1767225000000</issued>"
      "<author><name>A. Writer</name><url>http://news.example/a</url><email>a@news.example</email></author>"
      "<activation type=\"rel\">1767225600000</activation><expiration>1767312000000</expiration></entry>",
      news.entries()[0]->toXml());

  SyncPkg ttl;
  ASSERT_TRUE(ttl.parse(flp1xtest::sample("sync-ttl1.xml"))) << ttl.errorText();
  EXPECT_EQ(1, ttl.meta()->globalMeta()->ttl()->seconds());
}

TEST(PushDocuments, ReadAsDeclared) {
  const XMLParser parser;
  struct Case {
    const char* what;
    std::string document;
    bool ok;
    std::string expected;  // the tree, or a line of the error text
  };
  const Case slCases[] = {
      {"Service Loading with its public DTD",
       "<?xml version=\"1.0\"?><!DOCTYPE sl PUBLIC \"-//WAPFORUM//DTD SL 1.0//EN\" "
       "\"http://www.wapforum.org/DTD/sl.dtd\"><sl href=\"http://flp.example:8080/flp/next?x=1\" action=\"execute-high\"/>",
       true, "<sl href=\"http://flp.example:8080/flp/next?x=1\"/>"},
      {"Service Loading without href", "<sl action=\"execute-high\"/>", false,
       "Element [sl] handleattribute [href] error!"},
  };
  for (const Case& c : slCases) {
    SCOPED_TRACE(c.what);
    SlElement sl;
    std::string error;
    ASSERT_EQ(c.ok, parser.parse(c.document, sl, error)) << error;
    EXPECT_EQ(c.expected, c.ok ? sl.toXml() : error.substr(0, c.expected.size()));
  }
  const Case provisioningCases[] = {
      {"switch and resources",
       "<wap-provisioningdoc version=\"1.0\"><characteristic type=\"APPLICATION\">"
       "<parm name=\"APROTOCOL\" value=\"OFF\"/><parm name=\"NAME\"/>"
       "<characteristic type=\"RESOURCE\"><parm name=\"URI\" value=\"http://flp.example/sync\"/></characteristic>"
       "<characteristic type=\"RESOURCE\"><parm name=\"STARTPAGE\" value=\"http://portal.example/\"/>"
       "</characteristic></characteristic><characteristic type=\"OTHER\"/></wap-provisioningdoc>",
       true,
       "<wap-provisioningdoc version=\"1.0\"><characteristic type=\"APPLICATION\">"
       "<parm name=\"APROTOCOL\" value=\"OFF\"/><parm name=\"NAME\"/>"
       "<characteristic type=\"RESOURCE\"><parm name=\"URI\" value=\"http://flp.example/sync\"/></characteristic>"
       "<characteristic type=\"RESOURCE\"><parm name=\"STARTPAGE\" value=\"http://portal.example/\"/>"
       "</characteristic></characteristic><characteristic type=\"OTHER\"/></wap-provisioningdoc>"},
      {"no characteristic", "<wap-provisioningdoc/>", true, "<wap-provisioningdoc/>"},
      {"parm without name",
       "<wap-provisioningdoc><characteristic type=\"A\"><parm value=\"v\"/></characteristic></wap-provisioningdoc>",
       false, "Element [parm] handleattribute [name] error!"},
      {"characteristics nested without end",
       "<wap-provisioningdoc>" + [] {
         std::string open, close;
         for (int i = 0; i < 40; ++i) {
           open += "<characteristic type=\"t\">";
           close += "</characteristic>";
         }
         return open + close;
       }() + "</wap-provisioningdoc>",
       false, "Element characteristic is nested too deep."},
  };
  for (const Case& c : provisioningCases) {
    SCOPED_TRACE(c.what);
    WapProvisioningDocElement doc;
    std::string error;
    ASSERT_EQ(c.ok, parser.parse(c.document, doc, error)) << error;
    EXPECT_EQ(c.expected, c.ok ? doc.toXml() : error.substr(0, c.expected.size()));
  }
}

}  // namespace
