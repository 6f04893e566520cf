// Reading server answers (and requests) with the XML syntax.
#include <gtest/gtest.h>

#include <regex>

#include "DcdTestSupport.h"
#include "syntax/XmlSyntax.h"
#include "txn/Primitives.h"

using namespace txn;

namespace {

std::unique_ptr<Primitive> read(const std::string& text, const std::string& charset = "UTF-8") {
  dcd::XmlSyntax syntax;
  return syntax.marshall({}, text.data(), static_cast<long>(text.size()), charset);
}

template <class T>
const T& as(const std::unique_ptr<Primitive>& p, const char* type) {
  EXPECT_EQ(p->getType(), type);
  return static_cast<const T&>(*p);
}

// The same document without any whitespace between tags.
std::string compact(const std::string& text) { return std::regex_replace(text, std::regex(">\\s+<"), "><"); }

}  // namespace

TEST(XmlRead, ContentUpdateResponse) {
  const std::string doc = testData("content-update-response.xml");
  std::unique_ptr<Primitive> p = read(doc);
  ASSERT_NE(p, nullptr);
  const auto& response = as<ContentUpdateResponse>(p, "ContentUpdateResponse");
  // sid and tid come from the response element, not from dcd.
  EXPECT_EQ(*response.getSessionId(), "S-1");
  EXPECT_EQ(*response.getTransactionId(), "7");
  ASSERT_NE(response.getResult(), nullptr);
  EXPECT_EQ(response.getResult()->getCode()->code(), 200);

  const Application* app = response.getApplication();
  ASSERT_NE(app, nullptr);
  EXPECT_EQ(*app->getSyncAnchor(), "A-2");
  EXPECT_EQ(*app->getUpdateTtl(), 3600);
  EXPECT_EQ(app->getAbsentMode(), &AbsentMode::REMOVE);
  ASSERT_NE(app->getMetaData(), nullptr);
  EXPECT_EQ(app->getMetaData()->getProperties().size(), 1u) << "the empty property is skipped";
  EXPECT_EQ(*app->getMetaData()->getProperty("servertime"), "2009-05-01T10:00:00+0000");
  ASSERT_NE(app->getExtBlock(), nullptr);
  EXPECT_EQ(*app->getExtBlock()->getText(),
            "<ext-block><x:hint xmlns:x=\"urn:example:hint\" level=\"1\">keep</x:hint></ext-block>");

  ASSERT_EQ(app->getContentSets().size(), 1u);
  const ContentSet& feed = *app->getContentSets()[0];
  EXPECT_EQ(*feed.getId(), "feed-1");
  EXPECT_EQ(*feed.getPriority(), 2);
  EXPECT_EQ(*feed.getOrder(), 1);
  EXPECT_EQ(*feed.getUpdateTtl(), 1800);
  EXPECT_EQ(*feed.getContainer(), "news");
  EXPECT_EQ(feed.getAbsentMode(), &AbsentMode::IGNORE);
  ASSERT_EQ(feed.getContents().size(), 2u);
  EXPECT_EQ(*feed.getContents()[0]->getContentValue(), "World news");
  EXPECT_EQ(feed.getContents()[1]->getContentValue(), nullptr);
  EXPECT_EQ(*feed.getContents()[1]->getContentId(), "img-1");
  ASSERT_NE(feed.getUpdateSchedule(), nullptr);
  EXPECT_EQ(feed.getUpdateSchedule()->getTimes(), (std::vector<std::string>{"08:00", "18:00"}));
  ASSERT_EQ(feed.getContentSets().size(), 1u);
  const ContentSet& item = *feed.getContentSets()[0];
  EXPECT_EQ(*item.getDisplayTimer(), 15);
  ASSERT_NE(item.getLifespan(), nullptr);
  EXPECT_EQ(*item.getLifespan()->getExpiration(), "2009-05-02T10:00:00+0000");
  EXPECT_EQ(*item.getContents().at(0)->getContentValue(), "Storm & rain");
}

TEST(XmlRead, CompactDocumentsReadLikeIndentedOnes) {
  // A self-closing element directly followed by its sibling must not
  // swallow the sibling.
  for (const char* name : {"content-update-response.xml", "status-error.xml", "get-response.xml",
                           "service-registration-response.xml", "notify.xml"}) {
    const std::string indented = testData(name);
    const std::string tight = compact(indented);
    ASSERT_NE(tight, indented) << name;
    std::unique_ptr<Primitive> a = read(indented);
    std::unique_ptr<Primitive> b = read(tight);
    ASSERT_NE(a, nullptr) << name;
    ASSERT_NE(b, nullptr) << name;
    EXPECT_EQ(a->toString(), b->toString()) << name;
    EXPECT_NE(a->toString(), "") << name;
  }
  std::unique_ptr<Primitive> p = read(compact(testData("content-update-response.xml")));
  const auto& response = as<ContentUpdateResponse>(p, "ContentUpdateResponse");
  ASSERT_NE(response.getApplication(), nullptr);
  EXPECT_EQ(response.getApplication()->getContentSets().at(0)->getContents().size(), 2u);
  EXPECT_NE(response.getApplication()->getExtBlock(), nullptr);
}

TEST(XmlRead, OtherResponses) {
  {
    std::unique_ptr<Primitive> p = read(testData("status-error.xml"));
    ASSERT_NE(p, nullptr);
    const auto& status = as<Status>(p, "Status");
    EXPECT_EQ(*status.getSessionId(), "S-9");
    const Result* result = status.getResult();
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->getCode()->code(), 409);
    EXPECT_EQ(*result->getDescription(), "conflict");
    ASSERT_NE(result->getDetails(), nullptr);
    const Detail& detail = *result->getDetails()->getDetails().at(0);
    EXPECT_EQ(detail.getCode()->code(), 404);
    EXPECT_EQ(*detail.getId(), "feed-3");
    EXPECT_EQ(*detail.getPropertySet()->getProperty("retry"), "later");
  }
  {
    std::unique_ptr<Primitive> p = read(testData("get-response.xml"));
    ASSERT_NE(p, nullptr);
    const auto& get = as<GetResponse>(p, "GetResponse");
    ASSERT_NE(get.getSystemMessages(), nullptr);
    ASSERT_EQ(get.getSystemMessages()->getDetails().size(), 1u);
    const ExtBlock* block = get.getSystemMessages()->getDetails()[0]->getExtBlock();
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(*block->getText(),
              "<ext-block><pmc:phone-mode-change xmlns:pmc=\"urn:example:pmc\" APROTOCOL=\"OFF\"/></ext-block>");
  }
  {
    std::unique_ptr<Primitive> p = read(testData("service-registration-response.xml"));
    ASSERT_NE(p, nullptr);
    const auto& registration = as<ServiceRegistrationResponse>(p, "ServiceRegistrationResponse");
    EXPECT_EQ(*registration.getSessionId(), "SESSION-42");
    EXPECT_EQ(*registration.getEncryptedUserKey(), "K3Y");
    EXPECT_EQ(*registration.getSessionTtl(), 86400);
  }
  {
    std::unique_ptr<Primitive> p = read(testData("notify.xml"));
    ASSERT_NE(p, nullptr);
    const auto& notify = as<Notify>(p, "Notify");
    EXPECT_EQ(notify.getAction(), &NotifyAction::CONTENT_UPDATE);
    EXPECT_EQ(*notify.getHref(), "http://server.example/dcd");
    ASSERT_EQ(notify.getContentSets().size(), 2u);
    EXPECT_EQ(*notify.getContentSets()[1]->getSyncAnchor(), "F2-1");
  }
}

TEST(XmlRead, RequestsReadBack) {
  // The file transport reads request bodies back.
  std::unique_ptr<Primitive> p = read(
      "<dcd  tid=\"T\"  version=\"0.8\" >\n"
      "<content-update-request sid=\"S\" tid=\"5\" request-trigger=\"mc\" expected-content=\"partial\">\n"
      "<application id=\"A\" name=\"N\" sync-anchor=\"next.xml\" />\n"
      "</content-update-request>\n</dcd>\n");
  ASSERT_NE(p, nullptr);
  const auto& request = as<ContentUpdateRequest>(p, "ContentUpdateRequest");
  EXPECT_EQ(*request.getTransactionId(), "5");
  EXPECT_EQ(request.getTrigger(), &RequestTrigger::MC);
  EXPECT_EQ(request.getExpected(), &ExpectedContent::PARTIAL);
  EXPECT_EQ(*request.getApplication()->getSyncAnchor(), "next.xml");

  p = read(
      "<dcd><service-registration-request client-msisdn=\"M\" application-id=\"A\" encryption=\"TRUE\" "
      "supported-authentication-method=\"  PWD   BASIC \"><client-id subscriber-id=\"s\" device-id=\"d\"/>"
      "</service-registration-request></dcd>");
  ASSERT_NE(p, nullptr);
  const auto& registration = as<ServiceRegistrationRequest>(p, "ServiceRegistrationRequest");
  ASSERT_NE(registration.getIsContentEncrypted(), nullptr);
  EXPECT_FALSE(*registration.getIsContentEncrypted()) << "only \"true\" is true";
  EXPECT_EQ(registration.getSupportedAuthenticationMethods(), (std::set<std::string>{"BASIC", "PWD"}));
  EXPECT_EQ(*registration.getClientId()->getDeviceId(), "d");

  p = read("<dcd><get-request tid=\"1\"/></dcd>");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->getType(), "GetRequest");
}

TEST(XmlRead, ElementDetails) {
  // Content keeps its last direct text; text and known names inside unknown
  // elements or ext-blocks are not interpreted.
  std::unique_ptr<Primitive> p = read(
      "<dcd><content-update-response><application id=\"a\" name=\"n\" sync-anchor=\"s\">"
      "<content name=\"c\">first<meta-data><property key=\"k\">v</property></meta-data>last</content>"
      "<wrapper><content name=\"hidden\"/></wrapper>"
      "<ext-block><content name=\"also-hidden\"/><result code=\"500\"/></ext-block>"
      "<meta-data><property key=\"a\">1</property><property key=\"a\">2</property><property key=\"b\"/></meta-data>"
      "</application></content-update-response></dcd>");
  ASSERT_NE(p, nullptr);
  const Application* app = as<ContentUpdateResponse>(p, "ContentUpdateResponse").getApplication();
  ASSERT_NE(app, nullptr);
  ASSERT_EQ(app->getContents().size(), 1u);
  EXPECT_EQ(*app->getContents()[0]->getContentValue(), "last");
  EXPECT_EQ(*app->getContents()[0]->getMetaData()->getProperty("k"), "v");
  EXPECT_EQ(app->getMetaData()->getProperties(), (std::map<std::string, std::string>{{"a", "2"}}));
  EXPECT_EQ(*app->getExtBlock()->getText(),
            "<ext-block><content name=\"also-hidden\"/><result code=\"500\"/></ext-block>");

  // Numbers that do not parse leave their field absent.
  p = read("<dcd><content-update-response><application id=\"a\" name=\"n\" sync-anchor=\"s\" "
           "update-ttl=\"soon\" absent-mode=\"keep\"><content-set id=\"x\" order=\"99999999999\" priority=\"-3\"/>"
           "</application></content-update-response></dcd>");
  ASSERT_NE(p, nullptr);
  app = as<ContentUpdateResponse>(p, "ContentUpdateResponse").getApplication();
  EXPECT_EQ(app->getUpdateTtl(), nullptr);
  EXPECT_EQ(app->getAbsentMode(), nullptr);
  EXPECT_EQ(app->getContentSets().at(0)->getOrder(), nullptr);
  EXPECT_EQ(*app->getContentSets().at(0)->getPriority(), -3);
}

// Servers write content values with markup characters as CDATA sections;
// they are the text they hold.
TEST(XmlRead, CdataSectionsAreText) {
  const struct {
    const char* inside;
    const char* value;
  } cases[] = {
      {"<![CDATA[News & Views]]>", "News & Views"},
      {"News <![CDATA[&]]> Views", "News & Views"},
      {"<![CDATA[<b>bold</b>]]>", "<b>bold</b>"},
      {"<![CDATA[]]>plain", "plain"},
  };
  for (const auto& c : cases) {
    std::unique_ptr<Primitive> p =
        read(std::string("<dcd><content-update-response><application id=\"a\" name=\"n\" sync-anchor=\"s\">"
                         "<content-set id=\"f\" name=\"feed\"><content name=\"title\">") +
             c.inside + "</content></content-set></application></content-update-response></dcd>");
    ASSERT_NE(p, nullptr) << c.inside;
    const Application* app = as<ContentUpdateResponse>(p, "ContentUpdateResponse").getApplication();
    ASSERT_NE(app, nullptr);
    const auto& contents = app->getContentSets().at(0)->getContents();
    ASSERT_EQ(contents.size(), 1u) << c.inside;
    ASSERT_NE(contents[0]->getContentValue(), nullptr) << c.inside;
    EXPECT_EQ(*contents[0]->getContentValue(), c.value) << c.inside;
  }
}

TEST(XmlRead, FailuresGiveNullWithTheirLogLine) {
  const std::string full = testData("content-update-response.xml");
  struct Case {
    const char* what;
    std::string document;
    const char* logLine;  // null: no particular line
  };
  const Case cases[] = {
      {"no dcd element", "<answer><status><result code=\"200\"/></status></answer>",
       "Unable to find start of first DCD XML element after the dcd root element."},
      {"first child is not a primitive", "<dcd><foo/><status><result code=\"200\"/></status></dcd>", nullptr},
      {"result without code", "<dcd><status><result description=\"x\"/></status></dcd>",
       "Missing required attribute, code"},
      {"unknown status code", "<dcd><status><result code=\"202\"/></status></dcd>",
       "Unable to convert integer 202 to a status code"},
      {"application without sync-anchor",
       "<dcd><content-update-response><application id=\"a\" name=\"n\"/></content-update-response></dcd>",
       "Missing required attribute, sync-anchor"},
      {"unknown notify action", "<dcd><notify action=\"reboot\"/></dcd>",
       "Unable to convert this value reboot to a valid action."},
      {"notify without action", "<dcd><notify/></dcd>", "Missing required attribute, action"},
      {"request without trigger", "<dcd><content-update-request expected-content=\"complete\"/></dcd>",
       "Missing required attribute, request-trigger"},
      {"empty lifetime",
       "<dcd><content-update-response><application id=\"a\" name=\"n\" sync-anchor=\"s\"><content>"
       "<lifespan><lifetime/></lifespan></content></application></content-update-response></dcd>",
       "No value for this lifetime element.Skipping."},
      {"empty time",
       "<dcd><content-update-response><application id=\"a\" name=\"n\" sync-anchor=\"s\"><content-set>"
       "<update-schedule><time></time></update-schedule></content-set></application></content-update-response></dcd>",
       "No value for this time element.Skipping."},
      {"truncated document", full.substr(0, full.size() / 2), "Unable to read the XML data block"},
      {"truncated before the primitive ends", full.substr(0, full.find("</content-update-response>")),
       "Unable to read the XML data block"},
      {"not XML", "\x89PNG\r\n\x1a\n\0\0\0\rIHDR", "Unable to read the XML data block"},
      {"mismatched tags", "<dcd><status><result code=\"200\"></status></result></dcd>",
       "Unable to read the XML data block"},
      {"document type with entities",
       "<?xml version=\"1.0\"?><!DOCTYPE dcd [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">"
       "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;\">]><dcd><status tid=\"&c;\"><result code=\"200\"/></status></dcd>",
       "declares a document type"},
      {"external entity",
       "<?xml version=\"1.0\"?><!DOCTYPE dcd SYSTEM \"file:///etc/passwd\"><dcd><status><result code=\"200\"/>"
       "</status></dcd>",
       "declares a document type"},
      {"undeclared entity", "<dcd><status tid=\"&secret;\"><result code=\"200\"/></status></dcd>",
       "Unable to read the XML data block"},
  };
  for (const Case& c : cases) {
    LogCapture log;
    EXPECT_EQ(read(c.document), nullptr) << c.what;
    if (c.logLine != nullptr) {
      EXPECT_TRUE(log.contains(c.logLine)) << c.what << ": " << log.text();
    }
  }

  LogCapture log;
  EXPECT_EQ(read("<dcd><foo/></dcd>"), nullptr);
  EXPECT_FALSE(log.contains("not supported by this syntax")) << log.text();
}

TEST(XmlRead, BadArgumentsAndLimits) {
  dcd::XmlSyntax syntax;
  {
    LogCapture log;
    EXPECT_EQ(syntax.marshall({}, nullptr, 10, "UTF-8"), nullptr);
    EXPECT_EQ(syntax.marshall({}, "<dcd/>", 0, "UTF-8"), nullptr);
    EXPECT_TRUE(log.contains("Encountered invalid method arguments."));
  }
  {
    LogCapture log;
    EXPECT_EQ(read(testData("status-error.xml"), "no-such-charset"), nullptr);
    EXPECT_TRUE(log.contains("Unable to find a character encoding that matches the name no-such-charset. Aborting."));
  }
  {
    // A UTF-16 reading of a UTF-8 document fails cleanly.
    LogCapture log;
    EXPECT_EQ(read(testData("status-error.xml"), "UTF-16"), nullptr);
  }
  {
    std::string deep = "<dcd><content-update-response><application id=\"a\" name=\"n\" sync-anchor=\"s\">";
    for (int i = 0; i < dcd::XmlSyntax::kMaxDepth; ++i) deep += "<content-set>";
    for (int i = 0; i < dcd::XmlSyntax::kMaxDepth; ++i) deep += "</content-set>";
    deep += "</application></content-update-response></dcd>";
    LogCapture log;
    EXPECT_EQ(read(deep), nullptr);
    EXPECT_TRUE(log.contains("nested deeper than")) << log.text();
  }
  {
    std::string huge = "<dcd><status><result code=\"200\"/></status></dcd>";
    huge.resize(static_cast<std::size_t>(dcd::XmlSyntax::kMaxDocumentBytes) + 1, ' ');
    LogCapture log;
    EXPECT_EQ(read(huge), nullptr);
    EXPECT_TRUE(log.contains("larger than the limit")) << log.text();
  }
}
