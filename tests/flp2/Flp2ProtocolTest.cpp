// The engine's platform queries, its container set-up and session
// attributes, and how asset references become data requests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ContentUpdater.h"
#include "Flp2Protocol.h"
#include "Flp2TestSupport.h"
#include "PlatformQueries.h"
#include "platform/Facade.h"
#include "transport/DcdFileTransport.h"
#include "transport/DcdHttpTransport.h"

namespace {

using flp2test::cache;
using flp2test::settings;

// A facade whose answers the test sets; every query fails while failing is
// true.
class FakeFacade : public QV_EventAndStatusFacade {
 public:
  FakeFacade() { setInstanceForTesting(this); }
  ~FakeFacade() override { setInstanceForTesting(nullptr); }

  int publishEvent(const QV_Event&, void*) override { return 0; }
  int getDataNetworkStatus(int& status) override { return answer(status, network); }
  int getMSISDN(qvTypes::String& v) override { return answer(v, msisdn); }
  int getPhoneModelId(qvTypes::String& v) override { return answer(v, model); }
  int getPhoneSoftwareVersion(qvTypes::String& v) override { return answer(v, software); }
  int getCurrentLanguageCode(qvTypes::String& v) override { return answer(v, language); }
  int getInstalledLanguageCodes(std::vector<qvTypes::String>& v) override { return answer(v, languages); }
  int getCurrentTime(long& v) override { return answer(v, now); }
  int isNetworkTimeAvailable(bool& v) override { return answer(v, nitz); }

  bool failing = false;
  int network = 1;
  qvTypes::String msisdn = L"+4912345";
  qvTypes::String model = L"Z8";
  qvTypes::String software = L"KQRB_N_03";
  qvTypes::String language = L"en";
  std::vector<qvTypes::String> languages{L"en", L"fr"};
  long now = 0;
  bool nitz = true;

 private:
  template <class T>
  int answer(T& out, const T& v) {
    if (failing) return 1;
    out = v;
    return 0;
  }
};

class Flp2ProtocolTest : public ::testing::Test {
 protected:
  flp2test::LogCapture log;
  flp2test::TempHome home;
  FakeFacade facade;
};

TEST_F(Flp2ProtocolTest, PlatformQueriesAndTheirDefaults) {
  EXPECT_EQ("+4912345", flp2::queryMsisdn(&facade));
  EXPECT_EQ("Z8", flp2::queryModelId(&facade));
  EXPECT_EQ("KQRB_N_03", flp2::querySoftwareVersion(&facade));
  EXPECT_EQ("en", flp2::queryLanguageCode(&facade));
  EXPECT_EQ("en,fr", flp2::queryInstalledLanguages(&facade));
  EXPECT_EQ("true", flp2::queryTimeReliable(&facade));
  EXPECT_EQ("1970-01-01T00:00:00+0000", flp2::queryCurrentTime(&facade));
  facade.now = 1209628800;
  EXPECT_EQ("2008-05-01T08:00:00+0000", flp2::queryCurrentTime(&facade));
  facade.languages.clear();
  EXPECT_EQ("", flp2::queryInstalledLanguages(&facade));
  struct NetworkCase {
    int facadeValue;
    flp2::DataNetworkStatus status;
  };
  for (NetworkCase c : {NetworkCase{1, flp2::NETWORK_OTHER}, NetworkCase{2, flp2::NETWORK_3G},
                        NetworkCase{0, flp2::NETWORK_UNKNOWN}, NetworkCase{7, flp2::NETWORK_UNKNOWN}}) {
    facade.network = c.facadeValue;
    EXPECT_EQ(c.status, flp2::queryDataNetworkStatus(&facade)) << c.facadeValue;
  }
  EXPECT_FALSE(flp2::queryStorageAvailable().empty());

  for (QV_EventAndStatusFacade* f :
       {static_cast<QV_EventAndStatusFacade*>(nullptr), static_cast<QV_EventAndStatusFacade*>(&facade)}) {
    facade.failing = true;
    EXPECT_EQ("", flp2::queryMsisdn(f));
    EXPECT_EQ("", flp2::queryModelId(f));
    EXPECT_EQ("", flp2::queryInstalledLanguages(f));
    EXPECT_EQ("false", flp2::queryTimeReliable(f));
    EXPECT_EQ("", flp2::queryCurrentTime(f));
    EXPECT_EQ(flp2::NETWORK_UNKNOWN, flp2::queryDataNetworkStatus(f));
  }
  EXPECT_TRUE(log.contains("Unable to obtain event and status facade. Returning default."));
  EXPECT_TRUE(log.contains("Unable to get MSISDN. Returning default."));
}

TEST_F(Flp2ProtocolTest, ContainerComesFromTheSettingsWhenTheyNameExactlyOne) {
  struct Case {
    const wchar_t* names;  // null: removed
    const char* container;
  };
  const Case cases[] = {{L"news", "news"}, {nullptr, "container1"}, {L"a,b", "container1"}, {L"", "container1"}};
  for (const Case& c : cases) {
    if (c.names == nullptr) {
      settings().remove(1, "ContainerNames");
    } else {
      ASSERT_EQ(0, settings().setString(1, "ContainerNames", c.names));
    }
    flp2::Protocol engine(0);
    ASSERT_NE(nullptr, engine.getContainerId());
    EXPECT_EQ(c.container, *engine.getContainerId());
    Container stored;
    EXPECT_EQ(0, cache().get(c.container, stored));
  }
  EXPECT_TRUE(
      log.contains("it declares that 0 container names are supported.  Defaulting to container name container1"));
  EXPECT_TRUE(log.contains("it declares that 2 container names are supported."));
}

TEST_F(Flp2ProtocolTest, SessionAttributesComeFromTheDeviceAndTheSettings) {
  {
    flp2::Protocol engine(0);
    txn::Session& s = engine.getSessionAttributes();
    EXPECT_EQ("Z8", s.getAttribute(txn::kAttrPhoneModelId));
    EXPECT_EQ("KQRB_N_03", s.getAttribute(txn::kAttrPhoneSoftwareVersion));
    EXPECT_EQ("+4912345", s.getAttribute(txn::kAttrSubscriberId));
    EXPECT_EQ(0u, s.getAttributes().count(txn::kAttrMsisdnReported));
    EXPECT_EQ(0u, s.getAttributes().count(txn::kAttrGzipEnabled));
    EXPECT_TRUE(engine.cancel());  // nothing running
  }
  ASSERT_EQ(0, settings().setBoolean(1, "Transport.IsMsisdnReported", true));
  ASSERT_EQ(0, settings().setBoolean(1, "Transport.EnableGzip", false));
  flp2::Protocol engine(0);
  EXPECT_EQ("true", engine.getSessionAttributes().getAttribute(txn::kAttrMsisdnReported));
  EXPECT_EQ("false", engine.getSessionAttributes().getAttribute(txn::kAttrGzipEnabled));
}

TEST_F(Flp2ProtocolTest, TransportFromTheSettings) {
  ASSERT_EQ(0, settings().setInt(1, "Timeout", 2));
  ASSERT_EQ(0, settings().setString(1, "ConnProfiles", L"wap:true"));
  ASSERT_EQ(0, settings().setString(1, "DefaultConnProf", L"internet"));
  ASSERT_EQ(0, settings().setString(1, "Transport.DefaultTransport", L"FILE"));
  std::unique_ptr<DcdTransport> t = flp2::ProtocolSettings().createTransport();
  ASSERT_TRUE(t != nullptr);
  EXPECT_NE(nullptr, dynamic_cast<DcdFileTransport*>(t.get()));
  EXPECT_EQ(2, t->mTimeoutMinutes);
  EXPECT_TRUE(t->mEnableGzip);
  EXPECT_EQ((std::vector<std::string>{"wap", "internet"}), t->mProfileNames);

  ASSERT_EQ(0, settings().remove(1, "Transport.DefaultTransport"));
  ASSERT_EQ(0, settings().setBoolean(1, "Transport.EnableGzip", false));
  t = flp2::ProtocolSettings().createTransport();
  EXPECT_NE(nullptr, dynamic_cast<DcdHttpTransport*>(t.get()));
  EXPECT_FALSE(t->mEnableGzip);
  EXPECT_TRUE(log.contains("Transport binding was not specified in settings. Defaulting to HTTP."));
}

TEST_F(Flp2ProtocolTest, AssetReferencesOfANewsObject) {
  Item item("i1");
  item.setTemplateId("Default");
  NewsObject::Media image;
  image.assetId = "img";
  image.url = L"http://media/img.gif";
  NewsObject::Media noId;
  NewsObject::Media excerpt;
  excerpt.assetId = "ex";
  item.setMediaMap({{"image", image}, {"other", excerpt}});
  item.setExcerptMap({{"0", noId}, {"1", excerpt}});
  std::vector<std::string> seen;
  for (const flp2::Asset& a : flp2::assetsOf(item)) seen.push_back(a.toString());
  EXPECT_EQ((std::vector<std::string>{"AssetById: id = ex", "AssetByHref: id = img, href = http://media/img.gif"}),
            seen);
  item.setTemplateId("tpl");
  item.setTemplateUrl(L"");
  EXPECT_EQ("AssetById: id = tpl", flp2::assetsOf(item).front().toString());
  item.setTemplateId("default");
  EXPECT_EQ(2u, flp2::assetsOf(item).size());
}

TEST_F(Flp2ProtocolTest, MissingAssetsBecomeDataRequests) {
  flp2::AssetSet missing;
  for (const char* id : {"a7", "a1", "a3", "a2", "a6", "a5", "a4"}) missing.insert({id, "", flp2::Asset::kAssetById});
  missing.insert({"a35", "http://m/a35", flp2::Asset::kAssetByUrl});
  missing.insert({"a1", "http://m/again", flp2::Asset::kAssetByUrl});  // one asset per id: the first stays

  auto describe = [](const std::vector<std::unique_ptr<txn::DataRequest>>& requests) {
    std::vector<std::string> out;
    for (const auto& r : requests) {
      if (r->getType() == "DataRequestByUrl") {
        out.push_back("url " + static_cast<const txn::DataRequestByUrl&>(*r).getUrl());
      } else {
        std::string ids;
        for (const std::string& id : static_cast<const txn::DataRequestByIds&>(*r).getIds()) ids += id + " ";
        out.push_back("ids " + ids);
      }
    }
    return out;
  };
  std::vector<std::unique_ptr<txn::DataRequest>> requests;
  ASSERT_TRUE(flp2::formDataRequests(missing, 3, true, requests));
  // A request by URL goes out as soon as it comes up in id order.
  EXPECT_EQ((std::vector<std::string>{"ids a1 a2 a3 ", "url http://m/a35", "ids a4 a5 a6 ", "ids a7 "}),
            describe(requests));

  requests.clear();
  ASSERT_TRUE(flp2::formDataRequests(missing, 3, false, requests));
  EXPECT_EQ((std::vector<std::string>{"ids a1 a2 a3 ", "ids a4 a5 a6 ", "ids a7 "}), describe(requests));
  EXPECT_TRUE(
      log.contains("client is configured to not send data requests by URL. Skipping this asset, "
                   "AssetByHref: id = a35, href = http://m/a35."));

  requests.clear();
  missing.insert({"zz", "", "SOMETHING_ELSE"});
  EXPECT_FALSE(flp2::formDataRequests(missing, 3, true, requests));
}

}  // namespace
