// The exact request documents written by the XML syntax.
#include <gtest/gtest.h>

#include <sstream>

#include "DcdTestSupport.h"
#include "syntax/XmlSyntax.h"
#include "txn/Primitives.h"

using namespace txn;

namespace {

std::unique_ptr<Application> application(const std::string& id, const std::string& name, const std::string& anchor) {
  std::unique_ptr<Application> app(new Application());
  app->setId(id);
  app->setName(name);
  app->setSyncAnchor(anchor);
  return app;
}

std::string write(const Primitive& primitive) {
  dcd::XmlSyntax syntax;
  std::ostringstream out;
  EXPECT_TRUE(syntax.unmarshall(primitive, out)) << primitive.getType();
  return out.str();
}

}  // namespace

TEST(XmlWrite, ContentUpdateRequestExample) {
  ContentUpdateRequest request;
  request.setTransactionId("T");
  request.setDeviceType("D");
  request.setSubscriberId("U");
  request.setTrigger(&RequestTrigger::MAN);
  request.setExpected(&ExpectedContent::COMPLETE);
  request.setApplication(application("A", "N", "K"));
  EXPECT_EQ(write(request),
            "<dcd  tid=\"T\"  device-type=\"D\"  subscriber-id=\"U\"  version=\"0.8\" >\n"
            "<content-update-request  request-trigger=\"man\"  expected-content=\"complete\" >\n"
            "<application id=\"A\" name=\"N\" sync-anchor=\"K\" >\n"
            "</application>\n"
            "</content-update-request>\n"
            "</dcd>\n");
}

TEST(XmlWrite, ContentUpdateRequestWithEveryPart) {
  ContentUpdateRequest request;
  request.setSessionId("S");
  request.setTransactionId("4");
  request.setTrigger(&RequestTrigger::TTL);
  request.setExpected(&ExpectedContent::COMPLETE);
  std::unique_ptr<Application> app = application(kApplicationUrn, kApplicationName, "");
  app->setAbsentMode(&AbsentMode::IGNORE);
  app->setUpdateTtl(3600);
  std::unique_ptr<PropertySet> meta(new PropertySet());
  meta->setProperty("istimereliable", "true");
  meta->setProperty("availableram", "512");
  std::unique_ptr<PropertySet> nested(new PropertySet());
  nested->setProperty("k", "v");
  meta->addPropertySet(std::move(nested));
  app->setMetaData(std::move(meta));
  std::unique_ptr<ContentSet> feed(new ContentSet());
  feed->setId("feed-1");
  feed->setName("feed");
  feed->setSyncAnchor("F1");
  feed->setPriority(2);
  feed->setOrder(1);
  feed->setAbsentMode(&AbsentMode::REMOVE);
  std::unique_ptr<UpdateSchedule> schedule(new UpdateSchedule());
  schedule->addTime("08:00");
  feed->setUpdateSchedule(std::move(schedule));  // not written
  std::unique_ptr<Content> content(new Content());
  content->setName("title");
  content->setContentType("text/plain");
  content->setContentValue("Hello");
  std::unique_ptr<Lifespan> lifespan(new Lifespan());
  lifespan->setActivation("2009-05-01T10:00:00+0000");
  lifespan->setExpiration("2009-05-02T10:00:00+0000");
  content->setLifespan(std::move(lifespan));
  feed->addContent(std::move(content));
  app->addContentSet(std::move(feed));
  request.setApplication(std::move(app));

  EXPECT_EQ(write(request),
            "<dcd  sid=\"S\"  tid=\"4\"  version=\"0.8\" >\n"
            "<content-update-request  request-trigger=\"ttl\"  expected-content=\"complete\" >\n"
            "<application id=\"x-oma-kestrova:quorvel.ua\" name=\"NewsReader\" sync-anchor=\"\" "
            "absent-mode=\"ignore\"  update-ttl=\"3600\" >\n"
            "<meta-data>\n"
            "<property-set>\n"
            "<property key=\"k\">v</property>\n"
            "</property-set>\n"
            "<property key=\"availableram\">512</property>\n"
            "<property key=\"istimereliable\">true</property>\n"
            "</meta-data>\n"
            "<content-set  id=\"feed-1\"  name=\"feed\"  sync-anchor=\"F1\"  priority=\"2\"  order=\"1\"  "
            "absent-mode=\"remove\" >\n"
            "<content  name=\"title\"  content-type=\"text/plain\" >\n"
            "Hello<lifespan>\n"
            "<activation>2009-05-01T10:00:00+0000</activation>\n"
            "<expiration>2009-05-02T10:00:00+0000</expiration>\n"
            "</lifespan>\n"
            "</content>\n"
            "</content-set>\n"
            "</application>\n"
            "</content-update-request>\n"
            "</dcd>\n");
}

TEST(XmlWrite, ServiceRegistrationAndGetRequests) {
  ServiceRegistrationRequest registration;
  registration.setTransactionId("0");
  registration.setDeviceType("Z8/KQRB_N_03XXXX DCD/0.8 FLP");
  registration.setClientMsisdn("+15550100");
  registration.setApplicationId(kApplicationUrn);
  registration.setIsContentEncrypted(false);
  registration.setClientToken("not written");
  registration.addSupportedAuthenticationMethod("PWD");
  std::unique_ptr<ClientId> clientId(new ClientId());
  clientId->setSubscriberId("");
  clientId->setDeviceId("");
  registration.setClientId(std::move(clientId));
  EXPECT_EQ(write(registration),
            "<dcd  tid=\"0\"  device-type=\"Z8/KQRB_N_03XXXX DCD/0.8 FLP\"  version=\"0.8\" >\n"
            "<service-registration-request client-msisdn=\"+15550100\" "
            "application-id=\"x-oma-kestrova:quorvel.ua\" encryption=\"false\" >\n"
            "<client-id subscriber-id=\"\" device-id=\"\" />\n"
            "</service-registration-request>\n"
            "</dcd>\n");

  GetRequest get;
  get.setSessionId("S");
  get.setTransactionId("T");
  get.setDeviceType("D");
  get.setSubscriberId("U");
  EXPECT_EQ(write(get),
            "<dcd  sid=\"S\"  tid=\"T\"  device-type=\"D\"  subscriber-id=\"U\"  version=\"0.8\" >\n"
            "<get-request />\n"
            "</dcd>\n");
}

TEST(XmlWrite, MarkupCharactersAreEscaped) {
  ContentUpdateRequest request;
  request.setTransactionId("1");
  request.setSubscriberId("a\"b");
  request.setTrigger(&RequestTrigger::MAN);
  request.setExpected(&ExpectedContent::COMPLETE);
  std::unique_ptr<Application> app = application("A", "N", "x&y<z>\"q\"");
  std::unique_ptr<PropertySet> meta(new PropertySet());
  meta->setProperty("k<", "R&D > \"all\"");
  app->setMetaData(std::move(meta));
  std::unique_ptr<ContentSet> feed(new ContentSet());
  feed->setId("feed&1");
  feed->setSyncAnchor("é<ü");  // non-ASCII bytes stay as they are
  app->addContentSet(std::move(feed));
  request.setApplication(std::move(app));

  const std::string text = write(request);
  EXPECT_EQ(text,
            "<dcd  tid=\"1\"  subscriber-id=\"a&quot;b\"  version=\"0.8\" >\n"
            "<content-update-request  request-trigger=\"man\"  expected-content=\"complete\" >\n"
            "<application id=\"A\" name=\"N\" sync-anchor=\"x&amp;y&lt;z&gt;&quot;q&quot;\" >\n"
            "<meta-data>\n"
            "<property key=\"k&lt;\">R&amp;D &gt; &quot;all&quot;</property>\n"
            "</meta-data>\n"
            "<content-set  id=\"feed&amp;1\"  sync-anchor=\"é&lt;ü\" >\n"
            "</content-set>\n"
            "</application>\n"
            "</content-update-request>\n"
            "</dcd>\n");

  // Read back, every value is the original one.
  dcd::XmlSyntax syntax;
  std::unique_ptr<Primitive> back = syntax.marshall({}, text.data(), static_cast<long>(text.size()), "UTF-8");
  ASSERT_NE(back, nullptr);
  const auto& read = static_cast<const ContentUpdateRequest&>(*back);
  ASSERT_NE(read.getApplication(), nullptr);
  EXPECT_EQ(*read.getApplication()->getSyncAnchor(), "x&y<z>\"q\"");
  EXPECT_EQ(*read.getApplication()->getMetaData()->getProperty("k<"), "R&D > \"all\"");
  EXPECT_EQ(*read.getApplication()->getContentSets().at(0)->getId(), "feed&1");
  EXPECT_EQ(*read.getApplication()->getContentSets().at(0)->getSyncAnchor(), "é<ü");
}

TEST(XmlWrite, RefusedPrimitivesLeaveTheStreamUntouched) {
  struct Case {
    std::unique_ptr<Primitive> primitive;
    const char* logLine;
  };
  std::unique_ptr<DataRequestByIds> byIds(new DataRequestByIds());
  byIds->addId("a");
  std::unique_ptr<ContentUpdateRequest> invalid(new ContentUpdateRequest());
  invalid->setTrigger(&RequestTrigger::MAN);
  std::unique_ptr<ContentUpdateRequest> badChild(new ContentUpdateRequest());
  badChild->setTrigger(&RequestTrigger::MAN);
  badChild->setExpected(&ExpectedContent::COMPLETE);
  std::unique_ptr<Application> app = application("A", "N", "K");
  std::unique_ptr<Content> content(new Content());
  content->setLifespan(std::unique_ptr<Lifespan>(new Lifespan()));  // invalid: nothing set
  app->addContent(std::move(content));
  badChild->setApplication(std::move(app));
  Case cases[] = {
      {std::move(byIds), "Encountered a primitive that is not supported by this syntax."},
      {std::unique_ptr<Primitive>(new DataResponse()), "Encountered a primitive that is not supported by this syntax."},
      {std::unique_ptr<Primitive>(new Status()),
       "Response subclasses do not support unmarshalling. One can not convert a txn::Response instance to a XML "
       "snippet."},
      {std::move(invalid), "Invalid content-update-request primitive."},
      {std::move(badChild), "Unable to unmarshall content-update-request's application."},
  };
  for (Case& c : cases) {
    LogCapture log;
    dcd::XmlSyntax syntax;
    std::ostringstream out;
    out << "kept";
    EXPECT_FALSE(syntax.unmarshall(*c.primitive, out)) << c.primitive->getType();
    EXPECT_EQ(out.str(), "kept");
    EXPECT_TRUE(log.contains(c.logLine)) << log.text();
  }
}
