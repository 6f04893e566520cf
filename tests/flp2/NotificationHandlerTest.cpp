// Server notifications: what a pushed body turns into, and the system
// messages fetched from a loopback server and applied to the settings.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Flp2TestSupport.h"
#include "MiniHttpServer.h"
#include "NotificationHandler.h"
#include "RecordingFacade.h"
#include "platform/NR_Constants.h"
#include "txn/Session.h"

namespace {

using flp2test::settings;
using Params = ProtocolRequest::Parameters;

const std::string kDcd = "application/vnd.kestrova.quorvel+xml";

std::string notify(const std::string& attributes, const std::string& children = "") {
  return "<?xml version=\"1.0\"?><dcd version=\"0.8\"><notify " + attributes + ">" + children + "</notify></dcd>";
}

std::string getResponse(const std::string& systemMessages) {
  return "<dcd version=\"0.8\"><get-response tid=\"0\"><result code=\"200\"/>" + systemMessages +
         "</get-response></dcd>";
}

std::string messages(const std::string& details) { return "<system-messages>" + details + "</system-messages>"; }

std::string detail(const std::string& extBlockContent) {
  return "<detail code=\"200\"><ext-block>" + extBlockContent + "</ext-block></detail>";
}

std::string phoneMode(const std::string& appId, const std::string& mode) {
  return "<wap-provisioningdoc><characteristic type=\"APPLICATION\"><parm name=\"APPID\" value=\"" + appId +
         "\"/><parm name=\"APROTOCOL\" value=\"" + mode + "\"/></characteristic></wap-provisioningdoc>";
}

std::string settingsBlock(const std::string& properties) {
  return "<settings operator=\"op\">" + properties + "</settings>";
}

std::string property(const std::string& name, const std::string& value, const std::string& type) {
  return "<property name=\"" + name + "\" value=\"" + value + "\" type=\"" + type + "\"/>";
}

class NotificationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.ok());
    setText(1, "flp20.ServerURL", server.url("/dcd"));
  }

  static void setText(int category, const std::string& key, const std::string& value) {
    ASSERT_EQ(0, settings().setString(category, key, MString::toWide(value)));
  }
  static std::string text(int category, const std::string& key) {
    qvTypes::String value;
    if (settings().getString(category, key, value) != 0) return "<unset>";
    return flp2::toUtf8(value);
  }
  static int number(const std::string& key) {
    int value = -12345;
    settings().getInt(1, key, value);
    return value;
  }

  // Hands body to the handler with settings read afresh, as a new engine
  // would.
  bool push(const std::string& body, const std::string& contentType = kDcd) {
    engineSettings.reset(new flp2::ProtocolSettings());
    message.reset(new PushMessage(contentType, "UTF8", body));
    context.reset(new flp2::NotificationContext(message.get(), &session, engineSettings.get()));
    return flp2::handleNotification(*context);
  }

  flp2test::LogCapture log;
  flp2test::TempHome home;
  RecordingFacade facade;
  qvtest::MiniHttpServer server;
  txn::Session session;
  std::unique_ptr<flp2::ProtocolSettings> engineSettings;
  std::unique_ptr<PushMessage> message;
  std::unique_ptr<flp2::NotificationContext> context;
};

TEST_F(NotificationTest, PushedBodiesAndWhatTheyAskFor) {
  struct Case {
    const char* what;
    std::string contentType;
    std::string body;
    std::function<void()> configure;
    bool result;
    std::optional<Params> request;  // none: no update asked for
  };
  const auto nothing = [] {};
  const Case cases[] = {
      {"another content type", "text/plain", notify("action=\"contentupdate\""), nothing, false, std::nullopt},
      {"not XML", kDcd, "contentupdate please", nothing, false, std::nullopt},
      {"not a notify", kDcd, "<dcd><status><result code=\"200\"/></status></dcd>", nothing, false, std::nullopt},
      {"unknown action", kDcd, notify("action=\"reboot\""), nothing, false, std::nullopt},
      {"no action", kDcd, notify("href=\"x\""), nothing, false, std::nullopt},
      {"usage tracking", kDcd, notify("action=\"usagetrackingreport\""), nothing, false, std::nullopt},
      {"update of all channels", kDcd, notify("action=\"contentupdate\""), nothing, true, Params{}},
      {"update of named channels", kDcd,
       notify("action=\"contentupdate\"",
              "<content-set id=\"ch-1\" sync-anchor=\"A1\"/><content-set id=\"ch-2\" sync-anchor=\"B7\"/>"),
       nothing, true, Params{{"ch-1", "A1"}, {"ch-2", "B7"}}},
      {"content sets without id or anchor are skipped", kDcd,
       notify("action=\"contentupdate\"",
              "<content-set sync-anchor=\"A1\"/><content-set id=\"ch-2\" sync-anchor=\"B7\"/><content-set id=\"x\"/>"),
       nothing, true, Params{{"ch-2", "B7"}}},
      {"all content sets malformed", kDcd,
       notify("action=\"contentupdate\"", "<content-set id=\"a\"/><content-set id=\"b\"/>"), nothing, true, Params{}},
      {"server requests disabled", kDcd, notify("action=\"contentupdate\""),
       [] { settings().setBoolean(1, "EnableServerReq", false); }, false, std::nullopt},
      {"provisioning ignored", kDcd, notify("action=\"system\""), [] { settings().setBoolean(1, "IgnoreProv", true); },
       false, std::nullopt},
  };
  for (const Case& c : cases) {
    settings().setBoolean(1, "EnableServerReq", true);
    settings().setBoolean(1, "IgnoreProv", false);
    c.configure();
    EXPECT_EQ(c.result, push(c.body, c.contentType)) << c.what;
    EXPECT_EQ(c.request.has_value(), context->needsContentUpdate) << c.what;
    ASSERT_EQ(c.request.has_value(), context->request != nullptr) << c.what;
    if (c.request) {
      EXPECT_EQ(ProtocolRequest::SERVER, context->request->getTrigger()) << c.what;
      EXPECT_EQ(*c.request, context->request->getParameters()) << c.what;
    }
  }
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(NotificationTest, SystemMessagesChangeThePhoneModeOrTheSettings) {
  struct Case {
    const char* what;
    qvtest::MiniHttpServer::Response answer;
    bool result;
    std::function<void()> check;
  };
  using Answer = qvtest::MiniHttpServer::Response;
  const auto xml = [](const std::string& body) { return Answer::make(200, body, {{"Content-Type", kDcd}}); };
  const auto modeIs = [](const char* mode) { return [mode] { EXPECT_EQ(mode, text(8, "EnabledMode")); }; };
  const auto unchanged = [] {
    EXPECT_EQ("ENABLED_NORMAL_MODE", text(8, "EnabledMode"));
    EXPECT_EQ(3, number("flp20.MaxAssetsType2"));
  };
  const std::string good = property("QVCore.DCD.flp20.MaxAssetsType2", "5", "int");
  const Case cases[] = {
      {"phone mode off", xml(getResponse(messages(detail(phoneMode("w901e", "OFF"))))), true, modeIs("HIDDEN_MODE")},
      {"phone mode disabled", xml(getResponse(messages(detail(phoneMode("w901e", "DISABLED"))))), true,
       modeIs("DISABLED_NORMAL_MODE")},
      {"phone mode for another application", xml(getResponse(messages(detail(phoneMode("w902", "OFF"))))), false,
       unchanged},
      {"a good and a malformed property",
       xml(getResponse(messages(detail(settingsBlock("<property name=\"QVCore.DCD.Timeout\" value=\"4\"/>" + good))))),
       true, [] { EXPECT_EQ(5, number("flp20.MaxAssetsType2")); }},
      {"one setting applies, one cannot",
       xml(getResponse(messages(detail(settingsBlock(good + property("QVCore.DCD.Codes", "1,2", "intarray")))))), false,
       [] { EXPECT_EQ(5, number("flp20.MaxAssetsType2")); }},
      {"a setting of no category", xml(getResponse(messages(detail(settingsBlock(property("Nowhere.x", "1", "int")))))),
       false, unchanged},
      {"a value of another type than the stored one",
       xml(getResponse(messages(detail(settingsBlock(property("QVCore.DCD.flp20.MaxAssetsType2", "9", "string")))))),
       false, unchanged},
      {"two system messages",
       xml(getResponse(messages(detail(phoneMode("w901e", "OFF")) + detail(phoneMode("w901e", "OFF"))))), false,
       unchanged},
      {"no system message", xml(getResponse(messages(""))), false, unchanged},
      {"no system messages element", xml(getResponse("")), false, unchanged},
      {"a detail without ext-block", xml(getResponse(messages("<detail code=\"200\"/>"))), false, unchanged},
      {"an ext-block of neither kind", xml(getResponse(messages(detail("<reboot/>")))), false, unchanged},
      {"an empty ext-block", xml(getResponse(messages(detail("")))), false, unchanged},
      {"a status", xml("<dcd><status><result code=\"200\"/></status></dcd>"), false, unchanged},
      {"another response", xml("<dcd><content-update-response><result code=\"200\"/></content-update-response></dcd>"),
       false, unchanged},
      {"not XML", xml("system message"), false, unchanged},
      {"HTTP error", Answer::make(500, ""), false, unchanged},
  };
  for (const Case& c : cases) {
    settings().setString(8, "EnabledMode", L"ENABLED_NORMAL_MODE");
    settings().setInt(1, "flp20.MaxAssetsType2", 3);
    server.on("/dcd", c.answer);
    const size_t before = server.requests().size();
    EXPECT_EQ(c.result, push(notify("action=\"system\""))) << c.what;
    EXPECT_FALSE(context->needsContentUpdate) << c.what;
    c.check();
    // One get request to the server URL per notification.
    const auto requests = server.requests();
    ASSERT_EQ(before + 1, requests.size()) << c.what;
    EXPECT_EQ("/dcd", requests.back().target) << c.what;
    EXPECT_NE(std::string::npos, requests.back().body.find("<get-request")) << c.what << requests.back().body;
  }
  // Each phone-mode change was announced.
  std::vector<std::string> modes;
  for (const RecordedEvent& e : facade.eventsOn(NR_Constants::EVENT_SETTING_MODE_CHANGE))
    modes.push_back(e.prop("mode"));
  EXPECT_EQ((std::vector<std::string>{"HIDDEN_MODE", "DISABLED_NORMAL_MODE"}), modes);
}

TEST_F(NotificationTest, TheNotifyHrefNamesWhereTheSystemMessageIsFetched) {
  server.on("/messages/7",
            qvtest::MiniHttpServer::Response::make(200, getResponse(messages(detail(phoneMode("w901e", "OFF")))),
                                                   {{"Content-Type", kDcd}}));
  EXPECT_TRUE(push(notify("action=\"system\" href=\"" + server.url("/messages/7") + "\"")));
  ASSERT_EQ(1u, server.requests().size());
  EXPECT_EQ("/messages/7", server.requests()[0].target);
  EXPECT_EQ("HIDDEN_MODE", text(8, "EnabledMode"));

  // Without href and without a server URL there is nowhere to ask.
  ASSERT_EQ(0, settings().remove(1, "flp20.ServerURL"));
  EXPECT_FALSE(push(notify("action=\"system\"")));
  EXPECT_EQ(1u, server.requests().size());
}

TEST_F(NotificationTest, ProvisioningTheServerUrlForgetsTheApplicationSyncAnchor) {
  setText(1, "RuntimeValues.AppSyncAnchor", "anchor-7");
  server.on("/dcd", qvtest::MiniHttpServer::Response::make(
                        200,
                        getResponse(messages(detail(settingsBlock(
                            property("QVCore.DCD.flp20.ServerURL", "http://other.example/dcd", "string"))))),
                        {{"Content-Type", kDcd}}));
  EXPECT_TRUE(push(notify("action=\"system\"")));
  EXPECT_EQ("http://other.example/dcd", text(1, "flp20.ServerURL"));
  EXPECT_EQ("", text(1, "RuntimeValues.AppSyncAnchor"));
}

}  // namespace
