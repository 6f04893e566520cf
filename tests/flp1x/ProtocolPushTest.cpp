// Pushed messages of the FLP 1.x engine: provisioning documents (as XML
// text and as binary WBXML) and what they write, Service Loading pushes and
// the update they start, and bodies from outside that must change nothing.
#include <gtest/gtest.h>
#include <wbxml/wbxml.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Flp1xProtocol.h"
#include "Flp1xTestSupport.h"
#include "RecordingFacade.h"
#include "ScriptedTransport.h"

namespace {

using flp1xtest::FreshHome;

const char kXml[] = "text/vnd.wap.connectivity-xml";
const char kWbxml[] = "application/vnd.wap.connectivity-wbxml";
const char kSl[] = "text/vnd.wap.sl";
const char kAppMessageTopic[] = "/kestrova/quorvel/newsreader/app/message";

std::string parm(const std::string& name, const char* value = nullptr) {
  return "<parm name=\"" + name + "\"" + (value != nullptr ? std::string(" value=\"") + value + "\"" : "") + "/>";
}
std::string characteristic(const std::string& type, const std::string& inside) {
  return "<characteristic type=\"" + type + "\">" + inside + "</characteristic>";
}
std::string resource(const std::string& parms) { return characteristic("RESOURCE", parms); }
std::string provisioning(const std::string& characteristics) {
  return "<?xml version=\"1.0\"?>\n<!DOCTYPE wap-provisioningdoc PUBLIC \"-//WAPFORUM//DTD PROV 1.0//EN\" "
         "\"http://www.wapforum.org/DTD/prov.dtd\">\n<wap-provisioningdoc version=\"1.0\">" +
         characteristics + "</wap-provisioningdoc>";
}
std::string sl(const std::string& href) { return "<?xml version=\"1.0\"?><sl href=\"" + href + "\"/>"; }

// The document as binary WBXML (libwbxml's encoder).
std::string toWbxml(const std::string& xml) {
  WBXMLConvXML2WBXML* conv = nullptr;
  EXPECT_EQ(WBXML_OK, wbxml_conv_xml2wbxml_create(&conv));
  WB_UTINY* out = nullptr;
  WB_ULONG length = 0;
  std::string copy = xml;
  EXPECT_EQ(WBXML_OK, wbxml_conv_xml2wbxml_run(conv, reinterpret_cast<WB_UTINY*>(&copy[0]),
                                               static_cast<WB_ULONG>(copy.size()), &out, &length));
  wbxml_conv_xml2wbxml_destroy(conv);
  std::string bytes(reinterpret_cast<const char*>(out), length);
  std::free(out);
  return bytes;
}

// The settings a push may write, and the platform messages it sent.
struct Effects {
  std::map<std::string, std::string> settings;
  int activations = 0;
  bool operator==(const Effects& o) const { return settings == o.settings && activations == o.activations; }
};

void PrintTo(const Effects& e, std::ostream* os) {
  for (const auto& kv : e.settings) *os << kv.first << "=" << kv.second << " ";
  *os << "activations=" << e.activations;
}

class PushTest : public ::testing::Test {
 protected:
  static void setText(int category, const std::string& key, const std::string& value) {
    ASSERT_EQ(0, FreshHome::settings().setString(category, key, MString::toWide(value)));
  }

  Effects effects() {
    Effects e;
    e.settings["mode"] = Flp1xPlatformWrapper::getStringSetting("EnabledMode", "QVCore.System");
    e.settings["server"] = Flp1xPlatformWrapper::getStringSetting("flp1x.ServerURL", "QVCore.DCD");
    for (const char* key : {"AddNewChannelURL", "DefineChannelURL", "ManageChannelURL"})
      e.settings[key] = Flp1xPlatformWrapper::getStringSetting(key, "QVNewsReader.UI");
    for (const RecordedEvent& m : facade.eventsOn(kAppMessageTopic)) {
      if (m.prop("message") == "activePlugIn()" && m.prop("channel") == "QPX/HSFRAMEWORK" &&
          m.prop("arg0") == "Quorvel")
        ++e.activations;
    }
    return e;
  }

  // A fresh engine for each message, as the service makes one.
  bool push(const std::string& contentType, const std::string& payload) {
    Flp1xProtocol engine;
    if (slScript) {
      std::shared_ptr<flp1xtest::Script> s = slScript;
      engine.contentUpdater().setTransportFactory([s] { return new flp1xtest::ScriptedTransport(s); });
    }
    PushMessage message(contentType, "UTF8", std::string(payload.c_str()), payload);
    return engine.handleMessage(&message);
  }

  FreshHome home;
  RecordingFacade facade;
  LogCapture log;
  std::shared_ptr<flp1xtest::Script> slScript;
};

TEST_F(PushTest, ProvisioningSwitchesTheReaderAndWritesTheUrls) {
  const std::string many = [] {
    std::string out;
    for (int i = 0; i < 1000; ++i) out += resource(parm("URI", ("http://s" + std::to_string(i) + "/").c_str()));
    return out;
  }();
  struct Case {
    const char* what;
    const char* startMode;
    std::string document;
    std::map<std::string, std::string> changed;  // on top of the start state
    int activations;
  };
  const Case cases[] = {
      {"on, then off", "HIDDEN_MODE",
       characteristic("APPLICATION", parm("APROTOCOL", "ON") + parm("APROTOCOL", "OFF")), {}, 1},
      {"off ends the walk", "ENABLED_NORMAL_MODE",
       characteristic("APPLICATION", parm("APROTOCOL", "OFF") + parm("APROTOCOL", "ON")),
       {{"mode", "HIDDEN_MODE"}}, 0},
      {"any other value, the empty one too, switches on", "HIDDEN_MODE",
       characteristic("APPLICATION", parm("APROTOCOL")), {{"mode", "ENABLED_NORMAL_MODE"}}, 1},
      {"no APROTOCOL changes nothing", "HIDDEN_MODE", characteristic("APPLICATION", parm("NAME", "x")), {}, 0},
      {"a start page gives the three channel URLs", "ENABLED_NORMAL_MODE",
       characteristic("APPLICATION", parm("NAME", "x") + resource(parm("STARTPAGE", "http://p/s"))),
       {{"AddNewChannelURL", "http://p/s?mc=ListRootcats"},
        {"DefineChannelURL", "http://p/s"},
        {"ManageChannelURL", "http://p/s?mc=MyChannels"}},
       0},
      {"a URI gives the server URL", "ENABLED_NORMAL_MODE",
       characteristic("APPLICATION", parm("NAME", "x") + resource(parm("URI", "http://srv:81/flp"))),
       {{"server", "http://srv:81/flp"}}, 0},
      {"with both, the last value goes to the server URL", "ENABLED_NORMAL_MODE",
       characteristic("APPLICATION", parm("NAME", "x") + resource(parm("URI", "http://u") + parm("STARTPAGE", "http://s"))),
       {{"server", "http://s"}}, 0},
      {"with neither, nothing is written", "ENABLED_NORMAL_MODE",
       characteristic("APPLICATION", parm("NAME", "x") + resource(parm("OTHER", "v"))), {}, 0},
      // STARTPAGE is a flag without a value in standard documents.
      {"a URI, then the STARTPAGE flag: the URI is the server URL", "ENABLED_NORMAL_MODE",
       characteristic("APPLICATION", parm("NAME", "x") + resource(parm("URI", "http://u/flp") + parm("NAME", "News") +
                                                                  parm("STARTPAGE"))),
       {{"server", "http://u/flp"}}, 0},
      {"parms without values write nothing", "ENABLED_NORMAL_MODE",
       characteristic("APPLICATION", parm("NAME", "x") + resource(parm("URI")) + resource(parm("STARTPAGE"))), {}, 0},
      {"only RESOURCE characteristics of the first one count", "ENABLED_NORMAL_MODE",
       characteristic("APPLICATION", parm("NAME", "x") + characteristic("NAPDEF", parm("URI", "http://napdef"))) +
           characteristic("APPLICATION", parm("APROTOCOL", "OFF") + resource(parm("URI", "http://second"))),
       {}, 0},
      {"thousands of resources: the last one lasts", "ENABLED_NORMAL_MODE",
       characteristic("APPLICATION", parm("APROTOCOL", "OFF") + many) + many,
       {{"mode", "HIDDEN_MODE"}, {"server", "http://s999/"}}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const char* type : {kXml, kWbxml}) {
      for (bool binary : {false, true}) {
        if (binary && type == kXml) continue;
        SCOPED_TRACE(std::string(type) + (binary ? " as binary WBXML" : " as text"));
        FreshHome fresh;
        setText(8, "EnabledMode", c.startMode);
        const Effects before = effects();
        Effects expected = before;
        for (const auto& kv : c.changed) expected.settings[kv.first] = kv.second;
        expected.activations += c.activations;
        const std::string document = provisioning(c.document);
        EXPECT_TRUE(push(type, binary ? toWbxml(document) : document)) << log.text().substr(0, 2000);
        EXPECT_EQ(expected, effects());
      }
    }
  }
}

TEST_F(PushTest, BodiesThatDoNotReadChangeNothing) {
  const std::string wbxml = toWbxml(provisioning(characteristic("APPLICATION", parm("APROTOCOL", "OFF"))));
  slScript = std::make_shared<flp1xtest::Script>();
  struct Case {
    const char* what;
    const char* type;
    std::string body;
    const char* logLine;
  };
  const Case cases[] = {
      {"empty", kSl, "", "Message is empty!"},
      {"nothing before a NUL", kXml, std::string("\0<wap-provisioningdoc/>", 23), "Message is empty!"},
      {"unknown content type", "text/plain", provisioning(characteristic("A", parm("APROTOCOL", "OFF"))),
       "Not find the content type!"},
      {"sl: not XML", kSl, "hello", "Parser Service Loading msg error!"},
      {"sl: no href", kSl, "<sl/>", "Parser Service Loading msg error!"},
      {"sl: a provisioning document", kSl, provisioning(characteristic("A", parm("APROTOCOL", "OFF"))),
       "Parser Service Loading msg error!"},
      {"sl: a path, not a URL", kSl, sl("/feeds/next.xml"), "Service Loading href is not a URL"},
      {"sl: no host", kSl, sl("http:///x"), "Service Loading href is not a URL"},
      {"sl: a blank in the href", kSl, sl("http://h/a b"), "Service Loading href is not a URL"},
      {"sl: a line break in the href", kSl, sl("http://h/a&#10;X-Evil: 1"), "Service Loading href is not a URL"},
      {"provisioning: not XML", kXml, "<wap-provisioningdoc", "Parser wap push msg error!"},
      {"provisioning: no characteristic", kXml, provisioning(""), "Error, Not find Characteristic in WapProv!"},
      {"provisioning: first characteristic without parms", kXml,
       provisioning(characteristic("A", resource(parm("URI", "http://x")))), "Handle On Off error!"},
      {"provisioning: parm without name", kXml, provisioning(characteristic("A", "<parm value=\"OFF\"/>")),
       "Parser wap push msg error!"},
      {"provisioning: characteristic without type", kXml, provisioning("<characteristic>" + parm("APROTOCOL", "OFF") + "</characteristic>"),
       "Parser wap push msg error!"},
      {"provisioning: entity declarations", kXml,
       "<!DOCTYPE d [<!ENTITY e \"OFF\">]><wap-provisioningdoc><characteristic type=\"A\">"
       "<parm name=\"APROTOCOL\" value=\"&e;\"/></characteristic></wap-provisioningdoc>",
       "Parser wap push msg error!"},
      {"wbxml: truncated", kWbxml, wbxml.substr(0, wbxml.size() / 2), "The WBXML push does not decode"},
      {"wbxml: a header only", kWbxml, std::string("\x03\x0b\x6a\x00", 4), "The WBXML push does not decode"},
      {"wbxml: hostile tokens", kWbxml, std::string("\x03\x0b\x6a\x7f\xff\xff\xff\x0f\x41\xc4\x80\x80\x80\x80\x01", 15),
       "The WBXML push does not decode"},
      // The decoding library would abort the process on this one.
      {"wbxml: an entity code past 31 bits", kWbxml, std::string("\x03\x0b\x6a\x00\xc5\x46\x01\xc6\x00\x01\x55\x02\xff\xff\xff\xff\x01\x37\x00\x00\x06\x03\x4f\x46\x46\x6d\x6c\x20\x76\x65\x72\x73\x69\x6f\x00\x01\x87\x00\x00\x1c\x06\x03\x68\x65\x78\x61\x6d\x70\x6c\x65\x2f\x73\x74\x61\x72\x74\x00\x01\x01\x01\xc6\x56\x01\x87\xf9\xf9\xfc\x91\x00\x01\x01\x01", 72),
       "The WBXML push does not decode"},
      // ...and on this one, where it reads the same entity out of what looks
      // like the inside of an inline string.
      {"wbxml: such an entity inside a string", kWbxml, std::string("\x02\x00\x00\x00\x03\x0b\x6a\x00\xc5\x46\x03\x34\xff\x12\x00\x00\x06\x03\x4f\x4e\x20\x61\x63\x74\x69\x6f\x6e\x3d\x22\x63\x6f\x6e\x74\x65\x6e\x74\x75\x70\x64\x61\x74\x65\x22\x02\xff\xff\xff\xff\x01\x37\x00\x4f", 52),
       "The WBXML push does not decode"},
      {"wbxml: too large", kWbxml, wbxml + std::string(70000, '\x01'), "WBXML push of"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Effects before = effects();
    const size_t logBefore = log.text().size();
    EXPECT_FALSE(push(c.type, c.body));
    EXPECT_EQ(before, effects());
    EXPECT_NE(std::string::npos, log.text().find(c.logLine, logBefore)) << log.text().substr(logBefore, 3000);
  }
  EXPECT_TRUE(slScript->requests().empty());
}

TEST_F(PushTest, ServiceLoadingStartsAnUpdateFromThePathItNames) {
  ASSERT_EQ(0, FreshHome::settings().setString(1, "flp1x.ServerURL", L"http://srv.example:8080/flp"));
  const std::string pkg =
      "<sync-pkg><meta><global-meta anchor=\"g9\" ttl=\"60000\" server-time=\"1767225600000\"/>"
      "<feed-meta ctxt-id=\"c1\" anchor=\"a\" target=\"idle\"/></meta>"
      "<feed ctxt-id=\"c1\"><title>C1</title></feed></sync-pkg>";
  struct Case {
    std::string href;
    std::string url;
    int status;
  };
  const Case cases[] = {
      {"https://push.example:9000/feeds/next.xml?x=1", "http://srv.example:8080/feeds/next.xml?x=1", 200},
      {"http://push.example", "http://srv.example:8080/", 200},
      // The update fails; the push was still handled.
      {"http://push.example/gone", "http://srv.example:8080/gone", 404},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.href);
    slScript = std::make_shared<flp1xtest::Script>();
    flp1xtest::Answer answer = flp1xtest::package(pkg);
    answer.status = c.status;
    slScript->answers = {answer};
    const size_t statusBefore = facade.eventsOn(PROTOCOL_TOPIC_REPORTSTATUS).size();
    EXPECT_TRUE(push(kSl, sl(c.href)));
    auto sent = slScript->requests();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(c.url, sent[0].url);
    EXPECT_EQ("svr", sent[0].header("X-FL-RequestType"));
    auto statuses = facade.eventsOn(PROTOCOL_TOPIC_REPORTSTATUS);
    if (c.status == 200) {
      ASSERT_EQ(statusBefore + 2, statuses.size());
      EXPECT_EQ("complete", statuses[statusBefore].prop("status"));
      EXPECT_EQ("data", statuses[statusBefore + 1].prop("type"));
    } else {
      EXPECT_EQ(statusBefore, statuses.size());
    }
  }
  // No response event of its own: that belongs to the service application.
  EXPECT_TRUE(facade.eventsOn(PROTOCOL_TOPIC_RESPONSE).empty());
  Container stored;
  ASSERT_EQ(0, FreshHome::cache().get("container1", stored));
  EXPECT_EQ(std::vector<qvTypes::ID>{"c1"}, stored.getChannelIds());
}

// Content types are media types: any case, parameters ignored; parameters
// that ask for a check of the sender are refused, with the reason logged.
TEST_F(PushTest, ContentTypesAreReadAsMediaTypes) {
  const std::string document = provisioning(characteristic("APPLICATION", parm("APROTOCOL", "OFF")));
  const struct {
    std::string type;
    std::string body;
    Flp1xProtocol::PushPlan::Kind kind;  // NONE: refused
    const char* logLine;
  } cases[] = {
      {"TEXT/VND.WAP.SL", sl("http://h/next"), Flp1xProtocol::PushPlan::SERVICE_LOADING, ""},
      {"text/vnd.wap.sl; charset=utf-8", sl("http://h/next"), Flp1xProtocol::PushPlan::SERVICE_LOADING, ""},
      {"Text/Vnd.Wap.Connectivity-XML ; charset=\"utf-8\"", document, Flp1xProtocol::PushPlan::PROVISIONING, ""},
      {"application/vnd.wap.connectivity-wbxml;charset=utf-8", toWbxml(document),
       Flp1xProtocol::PushPlan::PROVISIONING, ""},
      {"application/vnd.wap.connectivity-wbxml; SEC=USERPIN; MAC=1234", toWbxml(document),
       Flp1xProtocol::PushPlan::NONE, "asks for a SEC check of its sender"},
      {"text/vnd.wap.connectivity-xml;mac=00", document, Flp1xProtocol::PushPlan::NONE,
       "asks for a mac check of its sender"},
      {"text/vnd.wap.sl-extra", sl("http://h/next"), Flp1xProtocol::PushPlan::NONE, "Not find the content type!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    const size_t logBefore = log.text().size();
    Flp1xProtocol::PushPlan plan;
    EXPECT_EQ(c.kind != Flp1xProtocol::PushPlan::NONE, Flp1xProtocol::readPush(c.type, c.body, plan));
    EXPECT_EQ(c.kind, plan.kind);
    EXPECT_NE(std::string::npos, log.text().find(c.logLine, logBefore)) << log.text().substr(logBefore, 2000);
  }
}

// Tokenized Service Loading (application/vnd.wap.slc) reads like the text
// form, through the same WBXML decoder and checks as provisioning.
TEST_F(PushTest, TokenizedServiceLoadingReadsLikeText) {
  const char kSlc[] = "application/vnd.wap.slc";
  // The tokenized example published with the WAP Service Loading format:
  // <sl href="http://www.xyz.com/ppaid/123/abc.wml"/> with the href split
  // into the attribute start "http://www.", an inline string, the attribute
  // value ".com/" and a second inline string.
  const std::string example("\x02\x06\x6a\x00\x85\x0a\x03xyz\x00\x85\x03ppaid/123/abc.wml\x00\x01", 32);
  const std::string encoded =
      toWbxml("<?xml version=\"1.0\"?>\n<!DOCTYPE sl PUBLIC \"-//WAPFORUM//DTD SL 1.0//EN\" "
              "\"http://www.wapforum.org/DTD/sl.dtd\">\n<sl href=\"https://push.example:9000/feeds/next.xml?x=1\" "
              "action=\"execute-high\"/>");
  const struct {
    const char* what;
    std::string body;
    const char* path;     // empty: refused
    const char* logLine;  // refusals
  } cases[] = {
      {"the published WAP example", example, "/ppaid/123/abc.wml", ""},
      {"as the library encodes it", encoded, "/feeds/next.xml?x=1", ""},
      {"truncated", encoded.substr(0, encoded.size() / 2), "", "The WBXML push does not decode"},
      {"text, not WBXML", sl("http://h/next"), "", "The tokenized Service Loading push is not WBXML."},
      {"an href that is not a URL", toWbxml("<?xml version=\"1.0\"?>\n<!DOCTYPE sl PUBLIC \"-//WAPFORUM//DTD SL "
                                            "1.0//EN\" \"http://www.wapforum.org/DTD/sl.dtd\">\n<sl href=\"next\"/>"),
       "", "Service Loading href is not a URL"},
      {"a provisioning document", toWbxml(provisioning(characteristic("APPLICATION", parm("APROTOCOL", "OFF")))), "",
       "Parser Service Loading msg error!"},
      {"an entity code past 31 bits", std::string("\x02\x06\x6a\x00\x85\x0a\x02\xff\xff\xff\xff\x01\x01", 13), "",
       "The WBXML push does not decode"},
      {"too large", example + std::string(70000, '\x01'), "", "WBXML push of"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t logBefore = log.text().size();
    Flp1xProtocol::PushPlan plan;
    const bool ok = Flp1xProtocol::readPush(kSlc, c.body, plan);
    EXPECT_EQ(c.path[0] != '\0', ok);
    if (ok) {
      EXPECT_EQ(Flp1xProtocol::PushPlan::SERVICE_LOADING, plan.kind);
      EXPECT_EQ(c.path, plan.nextPath);
    } else {
      EXPECT_NE(std::string::npos, log.text().find(c.logLine, logBefore)) << log.text().substr(logBefore, 2000);
    }
  }

  // Pushed to the engine, it starts the update from its path.
  ASSERT_EQ(0, FreshHome::settings().setString(1, "flp1x.ServerURL", L"http://srv.example:8080/flp"));
  slScript = std::make_shared<flp1xtest::Script>();
  slScript->answers = {flp1xtest::package(
      "<sync-pkg><meta><global-meta anchor=\"g9\" ttl=\"60000\" server-time=\"1767225600000\"/></meta></sync-pkg>")};
  EXPECT_TRUE(push(kSlc, example));
  ASSERT_EQ(1u, slScript->requests().size());
  EXPECT_EQ("http://srv.example:8080/ppaid/123/abc.wml", slScript->requests()[0].url);
}

}  // namespace
