// The FLP 1.x platform wrapper: what it loads from the settings and the
// facade, what it writes back on a fresh install, and the mode switches as
// seen on the bus.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "Flp1xPlatformWrapper.h"
#include "Flp1xTestSupport.h"
#include "PrivateBus.h"
#include "RecordingFacade.h"
#include "platform/Facade.h"
#include "platform/NR_Constants.h"
#include "platform/QV_Event.h"
#include "platform/ZMsg.h"

namespace {

using flp1xtest::FreshHome;

constexpr int kDcd = 1;

void setText(int category, const std::string& key, const std::string& value) {
  ASSERT_EQ(0, FreshHome::settings().setString(category, key, MString::toWide(value)));
}

std::string text(int category, const std::string& key) {
  qvTypes::String value;
  if (FreshHome::settings().getString(category, key, value) != 0) return "<unset>";
  return Flp1xPlatformWrapper::getStringSetting(key, QuorvelSettingMgr::categoryName(category));
}

// A setting change: a value, or removed when value is null.
struct Change {
  int category;
  const char* key;
  std::optional<std::string> value;  // text settings
  std::optional<int> number;         // int settings
};

void apply(const Change& c) {
  if (c.value) {
    setText(c.category, c.key, *c.value);
  } else if (c.number) {
    ASSERT_EQ(0, FreshHome::settings().setInt(c.category, c.key, *c.number));
  } else {
    FreshHome::settings().remove(c.category, c.key);
  }
}

TEST(PlatformWrapper, LoadsItsSettingsAsTheyAreStored) {
  struct Case {
    const char* what;
    std::vector<Change> changes;
    std::function<void(const Flp1xPlatformWrapper&)> check;
    const char* logLine;
  };
  const Case cases[] = {
      {"profile with false",
       {{kDcd, "ConnProfiles", std::string("wap:false"), {}}, {kDcd, "DefaultConnProf", std::string("internet"), {}}},
       [](const Flp1xPlatformWrapper& w) {
         EXPECT_EQ("wap", w.getConnProfile());
         EXPECT_EQ("internet", w.getDefaultProfile());
         EXPECT_FALSE(w.isDefaultProfileAllowed());
       },
       "Load Profles, def:internet, Conn:wap, Allow:0"},
      {"profile with true",
       {{kDcd, "ConnProfiles", std::string("wap:true"), {}}},
       [](const Flp1xPlatformWrapper& w) {
         EXPECT_EQ("wap", w.getConnProfile());
         EXPECT_TRUE(w.isDefaultProfileAllowed());
       },
       ""},
      {"profile with nothing after the colon",
       {{kDcd, "ConnProfiles", std::string("wap:"), {}}},
       [](const Flp1xPlatformWrapper& w) {
         EXPECT_EQ("wap", w.getConnProfile());
         EXPECT_TRUE(w.isDefaultProfileAllowed());
       },
       ""},
      {"profile without a colon",
       {{kDcd, "ConnProfiles", std::string("wap"), {}}},
       [](const Flp1xPlatformWrapper& w) {
         EXPECT_EQ("", w.getConnProfile());
         EXPECT_TRUE(w.isDefaultProfileAllowed());
       },
       "Get ConnProfiles Error:wap"},
      {"compression 0 is off", {{kDcd, "flp1x.CompressionType", std::string("0"), {}}},
       [](const Flp1xPlatformWrapper& w) { EXPECT_FALSE(w.isCompressionEnabled()); }, ""},
      {"compression 00 is on", {{kDcd, "flp1x.CompressionType", std::string("00"), {}}},
       [](const Flp1xPlatformWrapper& w) { EXPECT_TRUE(w.isCompressionEnabled()); }, ""},
      {"empty compression is on", {{kDcd, "flp1x.CompressionType", std::string(""), {}}},
       [](const Flp1xPlatformWrapper& w) { EXPECT_TRUE(w.isCompressionEnabled()); }, ""},
      {"missing compression is on", {{kDcd, "flp1x.CompressionType", {}, {}}},
       [](const Flp1xPlatformWrapper& w) { EXPECT_TRUE(w.isCompressionEnabled()); },
       "Unable to retrieve setting: flp1x.CompressionType"},
      {"retry minutes become seconds",
       {{kDcd, "MaxRetryWaitTime", {}, 5}, {kDcd, "RetryIncInterval", {}, 2}, {kDcd, "MaxRetries", {}, 4}},
       [](const Flp1xPlatformWrapper& w) {
         EXPECT_EQ(300, w.getMaxRetryWaitTime());
         EXPECT_EQ(120, w.getRetryIncInterval());
         EXPECT_EQ(4, w.getMaxRetries());
       },
       ""},
      {"missing retry settings read as -1",
       {{kDcd, "MaxRetries", {}, {}}, {kDcd, "MaxRetryWaitTime", {}, {}}, {kDcd, "RetryWaitAlgo", {}, {}}},
       [](const Flp1xPlatformWrapper& w) {
         EXPECT_EQ(-1, w.getMaxRetries());
         EXPECT_EQ(-60, w.getMaxRetryWaitTime());
         EXPECT_EQ(-1, w.getRetryWaitAlgo());
       },
       "Unable to retrieve setting: MaxRetries"},
      {"numbers held as text",
       {{kDcd, "flp1x.MaxAssetsType2", std::string("7 per request"), {}}, {6, "DownloadOption", std::string("2"), {}},
        {kDcd, "flp1x.ServerURL", std::string("http://flp.example/sync"), {}},
        {kDcd, "RuntimeValues.AppSyncAnchor", std::string("g-1"), {}}},
       [](const Flp1xPlatformWrapper& w) {
         EXPECT_EQ(7, w.getMaxAssetsType2());
         EXPECT_EQ(2, w.getDownloadOption());
         EXPECT_EQ(2, w.getNetworkStatus());  // GPRS: no network status is known
         EXPECT_EQ("http://flp.example/sync", w.getBaseUrl());
         EXPECT_EQ("g-1", w.getAppSyncAnchor());
       },
       "mNetworkStatus:GPRS, mMaxAssetsType2:7"},
      {"3G takes the 3G asset limit",
       {{12, "NetworkStatus", {}, 2}, {kDcd, "flp1x.MaxAssets3GType2", std::string("9"), {}}},
       [](const Flp1xPlatformWrapper& w) {
         EXPECT_EQ(9, w.getMaxAssetsType2());
         EXPECT_EQ(1, w.getNetworkStatus());
       },
       "mNetworkStatus:3G, mMaxAssetsType2:9"},
      {"phone facts missing",
       {},
       [](const Flp1xPlatformWrapper& w) {
         EXPECT_EQ("", w.getMsisdn());
         EXPECT_EQ("Z8/KQRB_N_03XXXX FLP/1.6  WebKit/1.0", w.getUserAgent());
       },
       "Unable to get phone model id. Returning default:Z8."},
      {"phone facts given",
       {{12, "MSISDN", std::string("+4915100000001"), {}}, {12, "ModelId", std::string("K\xc3\xa9" "7"), {}},
        {12, "SoftwareVersion", std::string("R2"), {}}},
       [](const Flp1xPlatformWrapper& w) {
         EXPECT_EQ("+4915100000001", w.getMsisdn());
         EXPECT_EQ("K\xc3\xa9" "7/R2 FLP/1.6  WebKit/1.0", w.getUserAgent());
       },
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FreshHome home;
    for (const Change& change : c.changes) apply(change);
    LogCapture log;
    Flp1xPlatformWrapper wrapper(QV_EventAndStatusFacade::instance());
    c.check(wrapper);
    EXPECT_TRUE(log.contains(c.logLine)) << log.text();
  }
}

TEST(PlatformWrapper, WithoutAFacadeNothingIsLoaded) {
  FreshHome home;
  setText(kDcd, "flp1x.ServerURL", "http://flp.example/sync");
  LogCapture log;
  Flp1xPlatformWrapper wrapper(nullptr);
  EXPECT_EQ("", wrapper.getBaseUrl());
  EXPECT_EQ("", wrapper.getUserAgent());
  EXPECT_FALSE(wrapper.isCompressionEnabled());
  EXPECT_FALSE(wrapper.isDefaultProfileAllowed());
  EXPECT_TRUE(log.contains("The QV_EventAndStatusFacade not ready!"));
}

TEST(PlatformWrapper, FallbackCodesAreFoundAsText) {
  FreshHome home;
  setText(kDcd, "flp1x.FallbackHttpCode", "404,503");
  Flp1xPlatformWrapper wrapper(QV_EventAndStatusFacade::instance());
  const struct {
    const char* code;
    bool found;
  } cases[] = {{"404", true}, {"503", true}, {"40", true}, {"4,5", true}, {"200", false}, {"", false}};
  for (const auto& c : cases) EXPECT_EQ(c.found, wrapper.isFallbackCode(c.code)) << c.code;
}

TEST(PlatformWrapper, AFreshInstallTakesWhatTheEngineWrites) {
  FreshHome home;
  Flp1xPlatformWrapper wrapper(QV_EventAndStatusFacade::instance());
  wrapper.setServerUrl("http://flp.example/sync");
  wrapper.setChannelUrls("http://portal.example/start");
  wrapper.setAppSyncAnchor("g-7");
  wrapper.saveDownloadStatistics(12345, 17);

  EXPECT_EQ("http://flp.example/sync", text(kDcd, "flp1x.ServerURL"));
  EXPECT_EQ("", wrapper.getBaseUrl());  // seen after a restart
  EXPECT_EQ("http://portal.example/start?mc=ListRootcats", text(10, "AddNewChannelURL"));
  EXPECT_EQ("http://portal.example/start", text(10, "DefineChannelURL"));
  EXPECT_EQ("http://portal.example/start?mc=MyChannels", text(10, "ManageChannelURL"));
  EXPECT_EQ("g-7", text(kDcd, "RuntimeValues.AppSyncAnchor"));
  EXPECT_EQ("g-7", wrapper.getAppSyncAnchor());
  EXPECT_EQ(12345, Flp1xPlatformWrapper::getIntSetting("RuntimeValues.BytesDownloaded", "QVCore.DCD"));
  EXPECT_EQ(17, Flp1xPlatformWrapper::getIntSetting("RuntimeValues.ItemsDownloaded", "QVCore.DCD"));
  EXPECT_EQ(flp1xtest::kNow, Flp1xPlatformWrapper::getIntSetting("RuntimeValues.LastUpdateTime", "QVCore.DCD"));

  Flp1xPlatformWrapper::resetForTesting();
  EXPECT_EQ("http://flp.example/sync", Flp1xPlatformWrapper::getInstance()->getBaseUrl());
}

TEST(PlatformWrapper, AKeyThatCannotBeReadIsNeverWritten) {
  FreshHome home;
  FreshHome::settings().remove(kDcd, "flp1x.ServerURL");
  FreshHome::settings().remove(kDcd, "RuntimeValues.ItemsDownloaded");
  LogCapture log;
  Flp1xPlatformWrapper::setStringSetting("flp1x.ServerURL", "http://flp.example/sync", "QVCore.DCD");
  Flp1xPlatformWrapper::setIntSetting("RuntimeValues.ItemsDownloaded", 3, "QVCore.DCD");
  EXPECT_EQ(2u, log.count("Unable to retrieve setting: "));
  qvTypes::String value;
  int number = 0;
  EXPECT_NE(0, FreshHome::settings().getString(kDcd, "flp1x.ServerURL", value));
  EXPECT_NE(0, FreshHome::settings().getInt(kDcd, "RuntimeValues.ItemsDownloaded", number));
  // Another type counts as unreadable too.
  ASSERT_EQ(0, FreshHome::settings().setInt(kDcd, "flp1x.ServerURL", 5));
  Flp1xPlatformWrapper::setStringSetting("flp1x.ServerURL", "http://flp.example/sync", "QVCore.DCD");
  EXPECT_EQ(0, FreshHome::settings().getInt(kDcd, "flp1x.ServerURL", number));
  EXPECT_EQ(5, number);
}

TEST(PlatformWrapper, CategoryNamesMapToTheirIds) {
  const struct {
    const char* name;
    int id;
  } cases[] = {{"QVCore.Service", 6}, {"QVCore.Storage", 7}, {"QVCore.System", 8}, {"QVCore.UI", 9},
               {"QVNewsReader.UI", 10}, {"QVCore.DCD", 1}, {"QVCore.Bypass", 1}, {"", 1}};
  for (const auto& c : cases) EXPECT_EQ(c.id, Flp1xPlatformWrapper::categoryId(c.name)) << c.name;
}

// The mode switches on a real bus: the platform message and the mode-change
// notification go out only when the mode changes.
TEST(PlatformWrapper, ModeSwitchesAnnounceOnlyChanges) {
  qvtest::PrivateBus bus;
  ASSERT_TRUE(bus.ok()) << bus.error();
  FreshHome home;
  qvtest::EventRecorder recorder("/kestrova/quorvel/newsreader");
  ASSERT_TRUE(recorder.ok()) << recorder.error();
  Flp1xPlatformWrapper wrapper(QV_EventAndStatusFacade::instance());
  const std::string modeTopic = NR_Constants::EVENT_SETTING_MODE_CHANGE;
  const std::string marker = "/kestrova/quorvel/newsreader/test/marker";

  struct Step {
    const char* what;
    void (Flp1xPlatformWrapper::*action)();
    const char* storedMode;
    std::vector<std::string> notices;  // modes announced
    int messages;                      // "activePlugIn()" messages
  };
  const Step steps[] = {
      {"on when on after installation", &Flp1xPlatformWrapper::enterNormalMode, "ENABLED_NORMAL_MODE", {}, 0},
      {"off", &Flp1xPlatformWrapper::enterHiddenMode, "HIDDEN_MODE", {"HIDDEN_MODE"}, 0},
      {"off again", &Flp1xPlatformWrapper::enterHiddenMode, "HIDDEN_MODE", {}, 0},
      {"on", &Flp1xPlatformWrapper::enterNormalMode, "ENABLED_NORMAL_MODE", {"ENABLED_NORMAL_MODE"}, 1},
      {"on again", &Flp1xPlatformWrapper::enterNormalMode, "ENABLED_NORMAL_MODE", {}, 0},
  };
  int markers = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    (wrapper.*step.action)();
    // One connection publishes in order: all the step sent has arrived once
    // the marker has.
    const std::string number = std::to_string(++markers);
    ASSERT_EQ(0, QV_EventAndStatusFacade::instance()->publishEvent(QV_Event(marker, markers), nullptr));
    ASSERT_TRUE(recorder.waitFor(marker, 10000, [&](const ES_EventRecord& e) {
      return e.properties.at(kQvEventValueProperty) == number;
    }));
    std::vector<std::string> notices;
    while (auto e = recorder.waitFor(modeTopic, 0)) notices.push_back(e->properties.at("mode"));
    int messages = 0;
    while (auto e = recorder.waitFor(ZMsg::kTopic, 0)) {
      ++messages;
      EXPECT_EQ("QPX/HSFRAMEWORK", e->properties.at("channel"));
      EXPECT_EQ("activePlugIn()", e->properties.at("message"));
      EXPECT_EQ("1", e->properties.at("argc"));
      EXPECT_EQ("Quorvel", e->properties.at("arg0"));
      EXPECT_EQ("1", e->properties.at(kQvEventValueProperty));
    }
    EXPECT_EQ(step.notices, notices);
    EXPECT_EQ(step.messages, messages);
    EXPECT_EQ(step.storedMode, text(8, "EnabledMode"));
  }
}

}  // namespace
