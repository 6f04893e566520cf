// The two extension-block handlers over tables of small documents, and the
// reader's limits on hostile blocks.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ExtBlockHandlers.h"
#include "Flp2TestSupport.h"
#include "MiniHttpServer.h"
#include "txn/Primitives.h"

namespace {

using flp2::PhoneModeChangeHandler;
using flp2::ProvisionedSetting;
using flp2::SettingsUpdateHandler;

// A primitive carrying text as its ext-block.
std::unique_ptr<txn::Detail> carrying(const std::string& text) {
  std::unique_ptr<txn::Detail> detail(new txn::Detail());
  detail->setExtBlock(std::unique_ptr<txn::ExtBlock>(new txn::ExtBlock(text.data(), text.size())));
  return detail;
}

std::string block(const std::string& inner) { return "<ext-block>" + inner + "</ext-block>"; }

std::string phoneModeDoc(const std::string& parms, const std::string& type = "type=\"APPLICATION\"") {
  return block("<wap-provisioningdoc><characteristic " + type + ">" + parms +
               "</characteristic></wap-provisioningdoc>");
}

std::string parm(const std::string& name, const std::string& value) {
  return "<parm name=\"" + name + "\" value=\"" + value + "\"/>";
}

TEST(PhoneModeChangeHandlerTest, ReadsTheModeOrRejectsTheBlock) {
  flp2test::LogCapture log;
  const int kNone = -1;
  struct Case {
    const char* what;
    std::string text;
    bool ok;
    int mode;
  };
  const Case cases[] = {
      {"off", phoneModeDoc(parm("APPID", "w901e") + parm("APROTOCOL", "OFF")), true, flp2::HIDDEN_MODE},
      {"on, no APPID", phoneModeDoc(parm("APROTOCOL", "ON")), true, flp2::ENABLED_NORMAL_MODE},
      {"disabled, APPID after it", phoneModeDoc(parm("APROTOCOL", "DISABLED") + parm("APPID", "w901e")), true,
       flp2::DISABLED_NORMAL_MODE},
      {"other parms ignored", phoneModeDoc(parm("COLOUR", "blue") + parm("APROTOCOL", "OFF")), true, flp2::HIDDEN_MODE},
      {"prefixed elements",
       block("<p:wap-provisioningdoc xmlns:p=\"urn:x\"><p:characteristic type=\"APPLICATION\">"
             "<p:parm name=\"APROTOCOL\" value=\"OFF\"/></p:characteristic></p:wap-provisioningdoc>"),
       true, flp2::HIDDEN_MODE},
      {"no mode named", phoneModeDoc(parm("APPID", "w901e")), true, kNone},
      {"empty characteristic",
       block("<wap-provisioningdoc><characteristic type=\"APPLICATION\"/>" + parm("APROTOCOL", "OFF") +
             "</wap-provisioningdoc>"),
       true, kNone},
      {"parm not a direct child", phoneModeDoc("<group>" + parm("APROTOCOL", "OFF") + "</group>"), true, kNone},
      {"parm without value", phoneModeDoc("<parm name=\"APROTOCOL\"/>"), true, kNone},
      {"parm of a second characteristic",
       block("<wap-provisioningdoc><characteristic type=\"APPLICATION\"></characteristic>"
             "<characteristic type=\"APPLICATION\">" +
             parm("APROTOCOL", "OFF") + "</characteristic></wap-provisioningdoc>"),
       true, kNone},
      {"wrong APPID", phoneModeDoc(parm("APPID", "other") + parm("APROTOCOL", "OFF")), false, kNone},
      {"wrong APPID after the mode", phoneModeDoc(parm("APROTOCOL", "OFF") + parm("APPID", "w901")), false, kNone},
      {"unknown APROTOCOL", phoneModeDoc(parm("APROTOCOL", "off")), false, kNone},
      {"characteristic of another type", phoneModeDoc(parm("APROTOCOL", "OFF"), "type=\"NAPDEF\""), false, kNone},
      {"characteristic without type", phoneModeDoc(parm("APROTOCOL", "OFF"), ""), false, kNone},
      {"characteristic not a direct child",
       block("<wap-provisioningdoc><x><characteristic type=\"APPLICATION\">" + parm("APROTOCOL", "OFF") +
             "</characteristic></x></wap-provisioningdoc>"),
       false, kNone},
      {"no characteristic", block("<wap-provisioningdoc/>"), false, kNone},
      {"another root", block("<settings operator=\"o\"/>"), false, kNone},
      {"broken after the mode",
       "<ext-block><wap-provisioningdoc><characteristic type=\"APPLICATION\">" + parm("APROTOCOL", "OFF") +
           "</characteristic></wap-provisioningdoc>",
       false, kNone},
      {"no block element", "<ext-block/>", false, kNone},
      {"no ext-block element", "<wap-provisioningdoc/>", false, kNone},
  };
  for (const Case& c : cases) {
    PhoneModeChangeHandler handler;
    std::unique_ptr<txn::Detail> detail = carrying(c.text);
    EXPECT_EQ(c.ok, flp2::parseExtBlock(*detail, handler)) << c.what;
    if (c.ok) {
      EXPECT_EQ(c.mode, handler.getPhoneMode() ? static_cast<int>(*handler.getPhoneMode()) : kNone) << c.what;
    }
  }
}

std::string settingsDoc(const std::string& properties, const std::string& attributes = "operator=\"op1\"") {
  return block("<settings " + attributes + ">" + properties + "</settings>");
}

std::string property(const std::string& attributes) { return "<property " + attributes + "/>"; }

// The settings a handler took, one line each: toString and the type number.
std::vector<std::string> taken(const SettingsUpdateHandler& handler) {
  std::vector<std::string> out;
  for (const ProvisionedSetting& s : handler.getSettings())
    out.push_back(s.toString() + " #" + std::to_string(static_cast<int>(s.type)));
  return out;
}

TEST(SettingsUpdateHandlerTest, TakesGoodPropertiesAndSkipsOrRejectsTheRest) {
  flp2test::LogCapture log;
  using Lines = std::vector<std::string>;
  const std::string good = property("name=\"QVCore.DCD.Timeout\" value=\"5\" type=\"int\"");
  struct Case {
    const char* what;
    std::string text;
    bool ok;
    Lines settings;
  };
  const Case cases[] = {
      {"two settings in order",
       settingsDoc(good + property("name=\"QVCore.DCD.IgnoreProv\" value=\"true\" type=\"boolean\"")),
       true,
       {"[QVCore.DCD.Timeout] [, op1] = 5 #2", "[QVCore.DCD.IgnoreProv] [, op1] = true #1"}},
      {"every type name",
       settingsDoc(property("name=\"a\" value=\"x\" type=\"string\"") +
                   property("name=\"b\" value=\"7\" type=\"long\"") +
                   property("name=\"c\" value=\"x\" type=\"localizedstring\" language=\"fr\"") +
                   property("name=\"d\" value=\"1,2\" type=\"intarray\"") +
                   property("name=\"e\" value=\"1\" type=\"longarray\"") +
                   property("name=\"f\" value=\"true\" type=\"booleanarray\"")),
       true,
       {"[a] [, op1] = x #0", "[b] [, op1] = 7 #3", "[c] [fr, op1] = x #4", "[d] [, op1] = 1,2 #5",
        "[e] [, op1] = 1 #6", "[f] [, op1] = true #7"}},
      {"a malformed property is skipped",
       settingsDoc(property("name=\"x\" value=\"1\"") + good),
       true,
       {"[QVCore.DCD.Timeout] [, op1] = 5 #2"}},
      {"unknown type skipped",
       settingsDoc(property("name=\"x\" value=\"1\" type=\"float\"") + good),
       true,
       {"[QVCore.DCD.Timeout] [, op1] = 5 #2"}},
      {"type names are case-sensitive",
       settingsDoc(property("name=\"x\" value=\"1\" type=\"INT\"") + good),
       true,
       {"[QVCore.DCD.Timeout] [, op1] = 5 #2"}},
      {"localizedstring needs a language",
       settingsDoc(property("name=\"x\" value=\"v\" type=\"localizedstring\"") + good),
       true,
       {"[QVCore.DCD.Timeout] [, op1] = 5 #2"}},
      {"numbers must be numbers",
       settingsDoc(property("name=\"x\" value=\"abc\" type=\"int\"") +
                   property("name=\"y\" value=\"99999999999\" type=\"long\"") +
                   property("name=\"z\" value=\"12abc\" type=\"int\"")),
       true,
       {"[z] [, op1] = 12abc #2"}},
      {"nothing usable", settingsDoc(property("name=\"x\" type=\"int\"")), false, {}},
      {"no property", settingsDoc("<note/>"), false, {}},
      {"empty settings", block("<settings operator=\"o\"/>"), false, {}},
      {"no operator", settingsDoc(good, ""), false, {}},
      {"another root", block("<wap-provisioningdoc/>"), false, {}},
      {"property not a direct child", settingsDoc(good + "<group>" + good + "</group>"), false, {}},
      {"property after the settings element",
       block("<settings operator=\"o\">" + good + "</settings>" + good),
       false,
       {}},
      {"broken after a good property", "<ext-block><settings operator=\"o\">" + good + "<property", false, {}},
  };
  for (const Case& c : cases) {
    SettingsUpdateHandler handler;
    std::unique_ptr<txn::Detail> detail = carrying(c.text);
    EXPECT_EQ(c.ok, flp2::parseExtBlock(*detail, handler)) << c.what;
    if (c.ok) {
      EXPECT_EQ(c.settings, taken(handler)) << c.what;
    }
  }
}

// Documents that try the reader: no external resource is fetched, no
// entity is expanded, and over-deep or oversized blocks are refused.
TEST(ExtBlockReaderTest, RefusesHostileBlocksWithoutTouchingTheNetwork) {
  flp2test::LogCapture log;
  qvtest::MiniHttpServer server;
  ASSERT_TRUE(server.ok());
  server.on("/dtd", qvtest::MiniHttpServer::Response::make(200, "<!ENTITY e \"PWNED\">"));
  server.on("/entity", qvtest::MiniHttpServer::Response::make(200, "PWNED"));
  const std::string settings =
      "<settings operator=\"o\"><property name=\"a\" value=\"&e;\" type=\"string\"/></settings>";

  std::string deep = "<wap-provisioningdoc><characteristic type=\"APPLICATION\">";
  for (int i = 0; i < flp2::kMaxExtBlockDepth; ++i) deep += "<n>";
  deep += "<parm name=\"APROTOCOL\" value=\"OFF\"/>";
  for (int i = 0; i < flp2::kMaxExtBlockDepth; ++i) deep += "</n>";
  deep += "</characteristic></wap-provisioningdoc>";
  const std::string huge =
      phoneModeDoc(parm("APROTOCOL", "OFF") + "<!--" + std::string(flp2::kMaxExtBlockBytes, 'x') + "-->");

  const std::string cases[] = {
      "<!DOCTYPE ext-block [<!ENTITY e \"inner\">]>" + block(settings),
      "<!DOCTYPE ext-block [<!ENTITY e SYSTEM \"" + server.url("/entity") + "\">]>" + block(settings),
      "<!DOCTYPE ext-block SYSTEM \"" + server.url("/dtd") + "\">" + block(settings),
      "<!DOCTYPE ext-block [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
      "<!ENTITY e \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">]>" +
          block(settings),
      block(deep),
      huge,
      "",
      "not xml at all",
  };
  for (const std::string& text : cases) {
    PhoneModeChangeHandler phoneMode;
    SettingsUpdateHandler update;
    std::unique_ptr<txn::Detail> detail = carrying(text);
    EXPECT_FALSE(flp2::parseExtBlock(*detail, phoneMode)) << text.substr(0, 200);
    EXPECT_FALSE(flp2::parseExtBlock(*detail, update)) << text.substr(0, 200);
    EXPECT_TRUE(update.getSettings().empty());
  }
  EXPECT_TRUE(server.requests().empty());

  // Just inside the limits the same documents are read.
  std::string inside = "<wap-provisioningdoc><characteristic type=\"APPLICATION\">";
  inside += parm("APROTOCOL", "OFF") + "</characteristic></wap-provisioningdoc>";
  PhoneModeChangeHandler phoneMode;
  EXPECT_TRUE(flp2::parseExtBlock(*carrying(block(inside)), phoneMode));
  std::string nested = "<wap-provisioningdoc><characteristic type=\"APPLICATION\">" + parm("APROTOCOL", "OFF");
  for (int i = 0; i < flp2::kMaxExtBlockDepth - 3; ++i) nested += "<n>";
  for (int i = 0; i < flp2::kMaxExtBlockDepth - 3; ++i) nested += "</n>";
  nested += "</characteristic></wap-provisioningdoc>";
  EXPECT_TRUE(flp2::parseExtBlock(*carrying(block(nested)), phoneMode));
}

TEST(ExtBlockReaderTest, APrimitiveWithoutExtBlockFails) {
  txn::Detail detail;
  PhoneModeChangeHandler handler;
  flp2test::LogCapture log;
  EXPECT_FALSE(flp2::parseExtBlock(detail, handler));
  EXPECT_TRUE(log.contains("There is no ext-block body in this parent primitive.")) << log.text();
}

}  // namespace
