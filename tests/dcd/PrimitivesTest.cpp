// Enumerations, validity rules and printouts of the DCD primitives.
#include <gtest/gtest.h>

#include "DcdTestSupport.h"
#include "txn/Enums.h"
#include "txn/Primitives.h"

using namespace txn;

namespace {

// Log lines of tests that do not look at them go to a scratch file rather
// than into the test report.
class QuietLogs : public ::testing::Environment {
 public:
  void SetUp() override {
    mSink = std::tmpfile();
    if (mSink != nullptr) librunlog_to_module_ptr = mSink;
  }
  void TearDown() override {
    librunlog_to_module_ptr = nullptr;
    if (mSink != nullptr) std::fclose(mSink);
  }

 private:
  FILE* mSink = nullptr;
};

[[maybe_unused]] ::testing::Environment* const kQuietLogs = ::testing::AddGlobalTestEnvironment(new QuietLogs);

}  // namespace

TEST(Enums, LookupsAreExactAndCaseSensitive) {
  struct Case {
    const char* wire;
    const StringEnum* expected;
    const StringEnum* (*lookup)(const std::string&);
  };
  auto trigger = [](const std::string& s) -> const StringEnum* { return RequestTrigger::fromString(s); };
  auto expected = [](const std::string& s) -> const StringEnum* { return ExpectedContent::fromString(s); };
  auto action = [](const std::string& s) -> const StringEnum* { return NotifyAction::fromString(s); };
  auto absent = [](const std::string& s) -> const StringEnum* { return AbsentMode::fromString(s); };
  auto method = [](const std::string& s) -> const StringEnum* { return AuthenticationMethod::fromString(s); };
  const Case cases[] = {
      {"ttl", &RequestTrigger::TTL, trigger},
      {"mr", &RequestTrigger::MR, trigger},
      {"MAN", nullptr, trigger},
      {"complete", &ExpectedContent::COMPLETE, expected},
      {"id", &ExpectedContent::ID, expected},
      {"Complete", nullptr, expected},
      {"contentupdate", &NotifyAction::CONTENT_UPDATE, action},
      {"usagetrackingreport", &NotifyAction::USAGE_TRACKING_REPORT, action},
      {"content-update", nullptr, action},
      {"ignore", &AbsentMode::IGNORE, absent},
      {"", nullptr, absent},
      {"SHA_2", &AuthenticationMethod::SHA_2, method},
      {"md5", nullptr, method},
  };
  for (const Case& c : cases) {
    LogCapture log;
    EXPECT_EQ(c.lookup(c.wire), c.expected) << c.wire;
    EXPECT_EQ(log.text().empty(), c.expected != nullptr) << c.wire << ": " << log.text();
  }
  EXPECT_EQ(RequestTrigger::TTL.name(), "ttl");

  LogCapture log;
  RequestTrigger::fromString("MAN");
  AuthenticationMethod::fromString("md5");
  EXPECT_TRUE(log.contains("Unrecognized request-trigger MAN"));
  EXPECT_TRUE(log.contains("Unrecognized authentication-method, md5"));
}

TEST(Enums, StatusCodesAreTheRecognisedSetOnly) {
  for (int code : {100, 102, 200, 201, 203, 400, 423, 500, 511, 520, 600, 604, 900, 904}) {
    const StatusCode* value = StatusCode::fromCode(code);
    ASSERT_NE(value, nullptr) << code;
    EXPECT_EQ(value->code(), code);
    EXPECT_EQ(StatusCode::fromCode(code), value) << "values are unique objects";
  }
  for (int code : {0, 99, 103, 202, 204, 399, 424, 499, 512, 519, 521, 524, 605, 899, 905, -1}) {
    LogCapture log;
    EXPECT_EQ(StatusCode::fromCode(code), nullptr) << code;
    EXPECT_TRUE(log.contains("Unrecognized statuscode " + std::to_string(code))) << code;
  }
  EXPECT_TRUE(StatusCode::fromCode(409)->isError());
  EXPECT_TRUE(StatusCode::fromCode(902)->isError());
  EXPECT_FALSE(StatusCode::fromCode(200)->isError());
}

TEST(Primitives, ValidityRules) {
  Lifespan lifetimeOnly, activationOnly, both, none;
  lifetimeOnly.setLifetime(60);
  activationOnly.setActivation("2009-01-01T00:00:00+0000");
  both.setLifetime(60);
  both.setExpiration("2009-01-02T00:00:00+0000");
  EXPECT_TRUE(lifetimeOnly.isValid());
  EXPECT_TRUE(activationOnly.isValid());
  EXPECT_FALSE(both.isValid());
  EXPECT_FALSE(none.isValid());

  ContentUpdateRequest request;
  request.setTrigger(&RequestTrigger::MAN);
  EXPECT_FALSE(request.isValid()) << "expected content missing";
  request.setExpected(&ExpectedContent::COMPLETE);
  EXPECT_TRUE(request.isValid());

  ServiceRegistrationRequest registration;
  registration.setClientMsisdn("+15550100");
  registration.setApplicationId(kApplicationUrn);
  registration.setClientId(std::unique_ptr<ClientId>(new ClientId()));
  EXPECT_FALSE(registration.isValid()) << "encryption flag missing";
  registration.setIsContentEncrypted(false);
  EXPECT_TRUE(registration.isValid());

  Status status;
  EXPECT_FALSE(status.isValid());
  std::unique_ptr<Result> result(new Result());
  EXPECT_FALSE(result->isValid());
  result->setCode(StatusCode::fromCode(200));
  status.setResult(std::move(result));
  EXPECT_TRUE(status.isValid());

  Notify notify;
  EXPECT_FALSE(notify.isValid());
  notify.setAction(&NotifyAction::SYSTEM);
  EXPECT_TRUE(notify.isValid());
}

TEST(Primitives, PrintoutIndentsOneSpacePerLevel) {
  ContentUpdateRequest request;
  request.setTransactionId("T");
  request.setDeviceType("Z8/KQRB DCD/0.8 FLP");
  request.setTrigger(&RequestTrigger::MAN);
  request.setExpected(&ExpectedContent::COMPLETE);
  std::unique_ptr<Application> application(new Application());
  application->setId("A");
  application->setName("N");
  application->setSyncAnchor("K");
  std::unique_ptr<PropertySet> meta(new PropertySet());
  meta->setProperty("currentlanguage", "en");
  application->setMetaData(std::move(meta));
  std::unique_ptr<Content> content(new Content());
  content->setName("title");
  content->setContentValue("World");
  std::unique_ptr<Lifespan> lifespan(new Lifespan());
  lifespan->setLifetime(60);
  content->setLifespan(std::move(lifespan));
  application->addContent(std::move(content));
  std::unique_ptr<ContentSet> set(new ContentSet());
  set->setId("feed-1");
  set->setOrder(2);
  set->setAbsentMode(&AbsentMode::REMOVE);
  application->addContentSet(std::move(set));
  request.setApplication(std::move(application));

  EXPECT_EQ(request.toString(),
            " [ContentUpdateRequest]\n"
            " transactionId : T\n"
            " deviceType : Z8/KQRB DCD/0.8 FLP\n"
            " trigger : man\n"
            " expected : complete\n"
            "  [Application]\n"
            "  id : A\n"
            "  name : N\n"
            "  syncAnchor : K\n"
            "   [PropertySet]\n"
            "   currentlanguage : en\n"
            "   [Content]\n"
            "   name : title\n"
            "    [Lifespans]\n"
            "    lifetime : 60\n"
            "   contentValue : World\n"
            "   [ContentSet]\n"
            "   [incomplete printout] id : feed-1\n"
            "   absentMode : remove\n"
            "   order : 2\n");

  // print() with an indent shifts every line by it.
  std::ostringstream shifted;
  request.print(shifted, "\t");
  EXPECT_EQ(shifted.str().substr(0, 25), "\t [ContentUpdateRequest]\n");
}

TEST(Primitives, OtherPrintouts) {
  DataRequestByIds byIds;
  byIds.addId("b");
  byIds.addId("a");
  EXPECT_EQ(byIds.toString(), " [DataRequestByIds]\n ids : a,b\n");

  ServiceRegistrationRequest registration;
  registration.setClientMsisdn("M");
  registration.setApplicationId("A");
  registration.setIsContentEncrypted(true);
  std::unique_ptr<ClientId> clientId(new ClientId());
  clientId->setSubscriberId("");
  clientId->setDeviceId("D");
  registration.setClientId(std::move(clientId));
  registration.addSupportedAuthenticationMethod("PWD");
  registration.addSupportedAuthenticationMethod("BASIC");
  EXPECT_EQ(registration.toString(),
            " [ServiceRegistrationRequest]\n"
            "  [ClientId]\n"
            "  subscriber-id : \n"
            "  device-id : D\n"
            " client-msisdn : M\n"
            " application-id : A\n"
            " is-content-encrypted : 1\n"
            " supported-authentication-methods : \n"
            " \tBASIC, PWD, \n");

  Status status;
  status.setTransactionId("7");
  std::unique_ptr<Result> result(new Result());
  result->setCode(StatusCode::fromCode(409));
  result->setDescription("conflict");
  status.setResult(std::move(result));
  EXPECT_EQ(status.toString(), " [Status]\n transaction-id : 7\n  [Result]\n  code : 409\n  description : conflict\n");
}

TEST(Primitives, InvalidPrimitivesPrintNothingButTheirErrorLine) {
  {
    Lifespan both;
    both.setLifetime(60);
    both.setExpiration("x");
    LogCapture log;
    EXPECT_EQ(both.toString(), "");
    EXPECT_TRUE(log.contains("Invalid lifespan primitive. Can not convert to string."));
  }
  {
    // An invalid child drops out of its valid parent's printout.
    Content content;
    content.setName("c");
    std::unique_ptr<Lifespan> empty(new Lifespan());
    content.setLifespan(std::move(empty));
    LogCapture log;
    EXPECT_EQ(content.toString(), " [Content]\n name : c\n");
    EXPECT_TRUE(log.contains("Invalid lifespan primitive."));
  }
  {
    ContentUpdateRequest request;
    LogCapture log;
    EXPECT_EQ(request.toString(), "");
    EXPECT_TRUE(log.contains("Invalid ContentUpdateRequest primitive. Can not convert to string."));
  }
  {
    ServiceRegistrationResponse response;
    LogCapture log;
    EXPECT_EQ(response.toString(), "");
    EXPECT_TRUE(log.contains("Invalid ServiceRegistrationResponse primitive. Can not convert to string."));
  }
}

TEST(Primitives, ExtBlockAndDataBlockOwnTheirCopies) {
  {
    LogCapture log;
    Application application;
    application.setExtBlock(std::unique_ptr<ExtBlock>(new ExtBlock("", 0)));
    EXPECT_EQ(application.getExtBlock(), nullptr);
    EXPECT_TRUE(log.contains("For this extension-block, did not copy any bytes from the source data."));
  }
  std::string text = "<ext-block>x</ext-block>";
  Application application;
  application.setExtBlock(std::unique_ptr<ExtBlock>(new ExtBlock(text.data(), text.size())));
  text.assign(text.size(), '#');
  ASSERT_NE(application.getExtBlock(), nullptr);
  EXPECT_EQ(*application.getExtBlock()->getText(), "<ext-block>x</ext-block>");

  std::string bytes("a\0b", 3);
  DataBlock block(bytes.data(), 3, "id", "type");
  bytes[0] = 'z';
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(block.getBytes()), block.getLength()), std::string("a\0b", 3));
}
