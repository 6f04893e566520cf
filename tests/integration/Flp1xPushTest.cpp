// Pushed messages to the real flp1xsvc: a Service Loading push that starts
// an update from its path, provisioning documents as XML text and as binary
// WBXML (mode, platform message, server and channel URLs read back with
// nrctl), and pushes that are answered 1 while the service goes on.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Flp1xDaemonFixture.h"

namespace {

using flp1xit::prop;
using flp1xit::value;
using Strings = std::vector<std::string>;

const char kAppMessageTopic[] = "/kestrova/quorvel/newsreader/app/message";

// <wap-provisioningdoc version="1.0"><characteristic type="APPLICATION">
// <parm name="APROTOCOL" value="OFF"/><characteristic type="RESOURCE">
// <parm name="URI" value="http://wbxml.example/flp"/></characteristic>
// </characteristic></wap-provisioningdoc> as WBXML 1.3 with the
// provisioning public id and UTF-8 (as libwbxml2 encodes it).
const char kWbxmlProvisioning[] =
    "\x03\x0b\x6a\x00\xc5\x46\x01\xc6\x00\x01\x55\x01\x87\x37\x00\x00\x06\x03\x4f\x46\x46\x00\x01\xc6"
    "\x00\x01\x59\x01\x87\x3a\x00\x00\x06\x03\x68\x74\x74\x70\x3a\x2f\x2f\x77\x62\x78\x6d\x6c\x2e\x65"
    "\x78\x61\x6d\x70\x6c\x65\x2f\x66\x6c\x70\x00\x01\x01\x01\x01";

class Flp1xPushTest : public flp1xit::Flp1xDaemonTest {
 protected:
  // The response code of a push of body with this content type.
  int push(const std::string& contentType, const std::string& body) {
    return nrctl({"push", "flp1x", "--content-type", contentType, "-", "--wait", "--timeout", "30"}, body);
  }
  std::string uiSetting(const std::string& key) { return setting("QVNewsReader.UI." + key); }
};

TEST_F(Flp1xPushTest, ServiceLoadingStartsAnUpdateFromThePathItNames) {
  startServer();
  writeFile(root + "/feeds/next.xml",
            "<sync-pkg><meta><global-meta anchor=\"sl-1\" ttl=\"120000\" server-time=\"1767225600000\"/>"
            "<feed-meta ctxt-id=\"pushed\" anchor=\"p1\" target=\"idle\"/></meta>"
            "<feed ctxt-id=\"pushed\"><title>Pushed</title><entry ctxt-id=\"p-1\"><title>Hi</title></entry></feed>"
            "</sync-pkg>");
  startDaemon();
  EXPECT_EQ(0, push("text/vnd.wap.sl",
                    "<?xml version=\"1.0\"?>\n<!DOCTYPE sl PUBLIC \"-//WAPFORUM//DTD SL 1.0//EN\" "
                    "\"http://www.wapforum.org/DTD/sl.dtd\">\n<sl href=\"http://push.example:9000/feeds/next.xml\"/>"))
      << lastOut << daemon->out();

  // The update's status events, then the one answer: the push's.
  Strings seen;
  for (const ES_EventRecord& e : recorder.events(200)) {
    if (e.topic == PROTOCOL_TOPIC_REPORTSTATUS) seen.push_back(prop(e, "status") + "/" + prop(e, "type"));
    if (e.topic == PROTOCOL_TOPIC_TTLUPDATE) seen.push_back("ttl " + value(e));
    if (e.topic == PROTOCOL_TOPIC_RESPONSE)
      seen.push_back("response " + value(e) + " " + prop(e, "trigger") + " " + prop(e, "type"));
  }
  EXPECT_EQ((Strings{"downloading/content", "ttl 120", "complete/content", "complete/data",
                     "response 0 push_message push_message"}),
            seen);
  // Sent to the configured server with the pushed path.
  auto log = requests();
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ("/feeds/next.xml", log[0].path);
  EXPECT_EQ("svr", log[0].header("X-FL-RequestType"));
  EXPECT_EQ((std::vector<qvTypes::ID>{"pushed"}), containerChannels());
  EXPECT_EQ("sl-1", setting("QVCore.DCD.RuntimeValues.AppSyncAnchor"));
}

TEST_F(Flp1xPushTest, ProvisioningSwitchesTheReaderAndWritesTheUrls) {
  startServer();
  setText(8, "EnabledMode", "HIDDEN_MODE");
  startDaemon();
  const std::string document =
      "<?xml version=\"1.0\"?>\n<!DOCTYPE wap-provisioningdoc PUBLIC \"-//WAPFORUM//DTD PROV 1.0//EN\" "
      "\"http://www.wapforum.org/DTD/prov.dtd\">\n<wap-provisioningdoc version=\"1.0\">"
      "<characteristic type=\"APPLICATION\"><parm name=\"APROTOCOL\" value=\"ON\"/>"
      "<characteristic type=\"RESOURCE\"><parm name=\"URI\" value=\"http://new.example:8080/flp\"/></characteristic>"
      "<characteristic type=\"RESOURCE\"><parm name=\"STARTPAGE\" value=\"http://portal.example/start\"/>"
      "</characteristic></characteristic></wap-provisioningdoc>";
  EXPECT_EQ(0, push("text/vnd.wap.connectivity-xml", document)) << lastOut << daemon->out();
  EXPECT_EQ("ENABLED_NORMAL_MODE", setting("QVCore.System.EnabledMode"));
  EXPECT_EQ("http://new.example:8080/flp", setting("QVCore.DCD.flp1x.ServerURL"));
  EXPECT_EQ("http://portal.example/start?mc=ListRootcats", uiSetting("AddNewChannelURL"));
  EXPECT_EQ("http://portal.example/start", uiSetting("DefineChannelURL"));
  EXPECT_EQ("http://portal.example/start?mc=MyChannels", uiSetting("ManageChannelURL"));
  auto activation = recorder.waitFor(kAppMessageTopic);
  ASSERT_TRUE(activation.has_value());
  EXPECT_EQ("activePlugIn()", prop(*activation, "message"));
  EXPECT_EQ("QPX/HSFRAMEWORK", prop(*activation, "channel"));
  EXPECT_EQ("Quorvel", prop(*activation, "arg0"));

  // The same kind of document as binary WBXML: off, and a new server URL.
  EXPECT_EQ(0, push("application/vnd.wap.connectivity-wbxml",
                    std::string(kWbxmlProvisioning, sizeof kWbxmlProvisioning - 1)))
      << lastOut << daemon->out();
  EXPECT_EQ("HIDDEN_MODE", setting("QVCore.System.EnabledMode"));
  EXPECT_EQ("http://wbxml.example/flp", setting("QVCore.DCD.flp1x.ServerURL"));
  EXPECT_EQ("http://portal.example/start", uiSetting("DefineChannelURL"));
  EXPECT_FALSE(recorder.waitFor(kAppMessageTopic, 200).has_value());
}

// A standard client-provisioning document: the server's URI, a name, and
// STARTPAGE as a flag without a value. The URI is the new server URL; the
// flag empties nothing.
TEST_F(Flp1xPushTest, TheStartPageFlagLeavesTheServerUrl) {
  startServer();
  startDaemon();
  const std::string document =
      "<?xml version=\"1.0\"?>\n<wap-provisioningdoc version=\"1.0\"><characteristic type=\"APPLICATION\">"
      "<parm name=\"APPID\" value=\"w2\"/><characteristic type=\"RESOURCE\">"
      "<parm name=\"URI\" value=\"http://standard.example/flp\"/><parm name=\"NAME\" value=\"News\"/>"
      "<parm name=\"STARTPAGE\"/></characteristic></characteristic></wap-provisioningdoc>";
  const std::string before = uiSetting("DefineChannelURL");
  EXPECT_EQ(0, push("text/vnd.wap.connectivity-xml", document)) << lastOut << daemon->out();
  EXPECT_EQ("http://standard.example/flp", setting("QVCore.DCD.flp1x.ServerURL"));
  EXPECT_EQ(before, uiSetting("DefineChannelURL"));
}

TEST_F(Flp1xPushTest, PushesThatCannotBeReadAreAnsweredWithOneAndTheServiceGoesOn) {
  startServer();
  startDaemon();
  const std::string wbxml(kWbxmlProvisioning, sizeof kWbxmlProvisioning - 1);
  struct Case {
    const char* what;
    const char* type;
    std::string body;
  };
  const Case cases[] = {
      {"unknown content type", "text/plain", "<sl href=\"http://h/x\"/>"},
      {"empty body", "text/vnd.wap.sl", ""},
      {"not XML", "text/vnd.wap.connectivity-xml", "hello"},
      {"truncated WBXML", "application/vnd.wap.connectivity-wbxml", wbxml.substr(0, 30)},
      {"hostile WBXML", "application/vnd.wap.connectivity-wbxml", std::string("\x03\x0b\x6a\xff\xff\xff\xff\x0f\xc5", 9)},
      {"an href that is not a URL", "text/vnd.wap.sl", "<sl href=\"next.xml\"/>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(1, push(c.type, c.body)) << lastOut;
    auto response = recorder.waitFor(PROTOCOL_TOPIC_RESPONSE);
    ASSERT_TRUE(response.has_value());
    EXPECT_EQ("push_message", prop(*response, "trigger"));
  }
  EXPECT_TRUE(requests().empty());
  EXPECT_EQ("ENABLED_NORMAL_MODE", setting("QVCore.System.EnabledMode"));
  EXPECT_EQ(address() + "/flp", setting("QVCore.DCD.flp1x.ServerURL"));
  EXPECT_TRUE(daemon->running());
  EXPECT_EQ(0, push("application/vnd.wap.connectivity-wbxml", wbxml)) << lastOut;
  EXPECT_EQ("HIDDEN_MODE", setting("QVCore.System.EnabledMode"));
}

}  // namespace
