// Device facts from the settings store, URL placeholders and the network
// access switch.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <ctime>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "platform/Facade.h"
#include "platform/NR_EngineUtils.h"
#include "platform/Settings.h"

namespace {

constexpr int kDevice = 12;

class DeviceFactsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/qvdevice-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(dir));
    mHome = dir;
    setenv("QUORVEL_HOME", mHome.c_str(), 1);
    QuorvelSettingMgr::resetForTesting();
    mSettings = QuorvelSettingMgr::getSettingMgrInstance();
    ASSERT_NE(nullptr, mSettings);
  }
  void TearDown() override {
    QuorvelSettingMgr::resetForTesting();
    std::error_code ignored;
    std::filesystem::remove_all(mHome, ignored);
    unsetenv("QUORVEL_HOME");
  }

  QV_EventAndStatusFacade& facade() { return *QV_EventAndStatusFacade::instance(); }

  std::string mHome;
  QuorvelSettingMgr* mSettings = nullptr;
};

TEST_F(DeviceFactsTest, QueriesAnswerFromTheDeviceCategory) {
  ASSERT_EQ(0, mSettings->setString(kDevice, "MSISDN", L"+15550100"));
  ASSERT_EQ(0, mSettings->setString(kDevice, "ModelId", L"QV-100 \u00fc"));
  ASSERT_EQ(0, mSettings->setString(kDevice, "SoftwareVersion", L"4.2.1"));
  ASSERT_EQ(0, mSettings->setString(kDevice, "Language", L"de"));
  ASSERT_EQ(0, mSettings->setString(kDevice, "InstalledLanguages", L"en,fr"));
  ASSERT_EQ(0, mSettings->setInt(kDevice, "NetworkStatus", 2));
  ASSERT_EQ(0, mSettings->setBoolean(kDevice, "NetworkTimeAvailable", true));

  qvTypes::String text;
  EXPECT_EQ(0, facade().getMSISDN(text));
  EXPECT_EQ(L"+15550100", text);
  EXPECT_EQ(0, facade().getPhoneModelId(text));
  EXPECT_EQ(L"QV-100 \u00fc", text);
  EXPECT_EQ(0, facade().getPhoneSoftwareVersion(text));
  EXPECT_EQ(L"4.2.1", text);
  EXPECT_EQ(0, facade().getCurrentLanguageCode(text));
  EXPECT_EQ(L"de", text);
  std::vector<qvTypes::String> languages;
  EXPECT_EQ(0, facade().getInstalledLanguageCodes(languages));
  EXPECT_EQ((std::vector<qvTypes::String>{L"en", L"fr"}), languages);
  int status = 0;
  EXPECT_EQ(0, facade().getDataNetworkStatus(status));
  EXPECT_EQ(2, status);
  bool nitz = false;
  EXPECT_EQ(0, facade().isNetworkTimeAvailable(nitz));
  EXPECT_TRUE(nitz);

  long before = static_cast<long>(std::time(nullptr));
  long now = 0;
  EXPECT_EQ(0, facade().getCurrentTime(now));
  EXPECT_LE(before, now);
  EXPECT_LE(now, static_cast<long>(std::time(nullptr)));
}

TEST_F(DeviceFactsTest, MissingOrMistypedFactsFailAndLeaveTheOutputAlone) {
  ASSERT_EQ(0, mSettings->setString(kDevice, "NetworkStatus", L"2"));  // wrong type
  qvTypes::String text = L"untouched";
  EXPECT_NE(0, facade().getMSISDN(text));
  EXPECT_NE(0, facade().getPhoneModelId(text));
  EXPECT_NE(0, facade().getPhoneSoftwareVersion(text));
  EXPECT_NE(0, facade().getCurrentLanguageCode(text));
  EXPECT_EQ(L"untouched", text);
  std::vector<qvTypes::String> languages = {L"xx"};
  EXPECT_NE(0, facade().getInstalledLanguageCodes(languages));
  EXPECT_EQ(std::vector<qvTypes::String>{L"xx"}, languages);
  int status = 7;
  EXPECT_NE(0, facade().getDataNetworkStatus(status));
  EXPECT_EQ(7, status);
  bool nitz = true;
  EXPECT_NE(0, facade().isNetworkTimeAvailable(nitz));
  EXPECT_TRUE(nitz);
}

TEST_F(DeviceFactsTest, InstalledLanguagesAreSplitAtCommas) {
  const struct {
    const wchar_t* stored;
    std::vector<qvTypes::String> expected;
  } cases[] = {
      {L"en,fr", {L"en", L"fr"}},
      {L"", {}},
      {L" en , ,fr ,", {L"en", L"fr"}},
      {L"pt-BR", {L"pt-BR"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.stored)));
    ASSERT_EQ(0, mSettings->setString(kDevice, "InstalledLanguages", c.stored));
    std::vector<qvTypes::String> languages = {L"stale"};
    EXPECT_EQ(0, facade().getInstalledLanguageCodes(languages));
    EXPECT_EQ(c.expected, languages);
  }
}

TEST_F(DeviceFactsTest, UrlPlaceholdersAreReplacedEverywhereAndEncoded) {
  ASSERT_EQ(0, mSettings->setString(kDevice, "ModelId", L"QV 100/\u03b2"));
  ASSERT_EQ(0, mSettings->setString(kDevice, "MSISDN", L"+44 7700&900"));
  ASSERT_EQ(0, mSettings->setString(kDevice, "FlpVersion", L"2.0~b_1-x"));
  const std::string model = "QV%20100%2F%CE%B2";
  const std::string msisdn = "%2B44%207700%26900";
  const struct {
    std::string url;
    std::string expected;
  } cases[] = {
      {"http://h/p?m=@DEVICE_MODEL@&n=@MSISDN@&f=@FLP_VERSION@",
       "http://h/p?m=" + model + "&n=" + msisdn + "&f=2.0~b_1-x"},
      {"@MSISDN@/@MSISDN@@DEVICE_MODEL@@MSISDN@", msisdn + "/" + msisdn + model + msisdn},
      {"@@MSISDN@@", "@" + msisdn + "@"},
      {"http://h/@UNKNOWN@/@MSISDN/MSISDN@", "http://h/@UNKNOWN@/@MSISDN/MSISDN@"},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    std::string url = c.url;
    NR_EngineUtils::replacePatternsInURL(url);
    EXPECT_EQ(c.expected, url);
  }

  std::string version = "v=@FL_CLIENT_SW_VERSION@";
  NR_EngineUtils::replacePatternsInURL(version);
  EXPECT_TRUE(std::regex_match(version, std::regex("v=[0-9]+(\\.[0-9]+)*"))) << version;

  ASSERT_EQ(0, mSettings->remove(kDevice, "MSISDN"));
  std::string missing = "n=@MSISDN@&f=@FLP_VERSION@";
  NR_EngineUtils::replacePatternsInURL(missing);
  EXPECT_EQ("n=&f=2.0~b_1-x", missing);
}

TEST_F(DeviceFactsTest, NetworkAccessIsAllowedUnlessSwitchedOff) {
  EXPECT_TRUE(NR_EngineUtils::isNetworkAccessAllowed());  // absent
  ASSERT_EQ(0, mSettings->setBoolean(kDevice, "NetworkAccessAllowed", false));
  EXPECT_FALSE(NR_EngineUtils::isNetworkAccessAllowed());
  ASSERT_EQ(0, mSettings->setBoolean(kDevice, "NetworkAccessAllowed", true));
  EXPECT_TRUE(NR_EngineUtils::isNetworkAccessAllowed());
}

}  // namespace
