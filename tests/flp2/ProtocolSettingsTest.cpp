// The engine's settings: list, profile and fallback-code parsing, booleans,
// the asset-request pause, runtime values written back, and provisioned
// settings.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "Flp2TestSupport.h"
#include "ProtocolSettings.h"

namespace {

using flp2::ProtocolSettings;
using flp2test::settings;

class ProtocolSettingsTest : public ::testing::Test {
 protected:
  void setText(const std::string& key, const std::wstring& value, int category = flp2::kCategoryDcd) {
    ASSERT_EQ(0, settings().setString(category, key, value));
  }
  flp2test::LogCapture log;
  flp2test::TempHome home;
};

TEST_F(ProtocolSettingsTest, ConnProfilesGiveTheTransportItsProfileList) {
  struct Case {
    const wchar_t* text;
    std::vector<std::string> profiles;
  };
  const Case cases[] = {
      {L"wap:true", {"wap", "default"}},
      {L"wap:false", {"wap"}},
      {L"wap:1", {"wap", "default"}},
      {L"a:true,b:false", {"default"}},  // more than one entry: the default alone
      {L"wap", {"default"}},             // no colon: skipped
      {L",,wap:1", {"wap", "default"}},  // empty pieces dropped
      {L"a:1,a:0", {"a"}},               // the later flag wins
      {L"", {"default"}},
  };
  setText("DefaultConnProf", L"default");
  for (const Case& c : cases) {
    setText("ConnProfiles", c.text);
    ProtocolSettings s;
    EXPECT_EQ(c.profiles, s.connectionProfiles()) << std::string(c.text, c.text + wcslen(c.text));
  }
  // Without a default profile the list still ends in the empty name.
  ASSERT_EQ(0, settings().remove(flp2::kCategoryDcd, "DefaultConnProf"));
  setText("ConnProfiles", L"wap:true");
  EXPECT_EQ((std::vector<std::string>{"wap", ""}), ProtocolSettings().connectionProfiles());
}

TEST_F(ProtocolSettingsTest, FallbackCodesAreASetWrittenInAscendingOrder) {
  struct Case {
    const wchar_t* text;
    std::set<int32_t> codes;
    const char* written;
  };
  const Case cases[] = {
      {L"404, 500", {404, 500}, "404 500 "},
      {L"503,404", {404, 503}, "404 503 "},
      {L"x,404", {0, 404}, "0 404 "},  // a piece without a number repeats the one before
      {L"404,x", {404}, "404 "},
      {L"503abc,,503", {503}, "503 "},
      {L"99999999999", {INT32_MAX}, "2147483647 "},
      {L"", {}, ""},
  };
  for (const Case& c : cases) {
    setText("flp20.FallbackHttpCode", c.text);
    ProtocolSettings s;
    EXPECT_EQ(c.codes, s.mFallbackHttpCodes);
    EXPECT_EQ(c.written, s.fallbackCodeText());
  }
}

TEST_F(ProtocolSettingsTest, BooleanTexts) {
  struct Case {
    const char* text;
    bool value;
  };
  const Case cases[] = {{"true", true}, {"false", false}, {"TRUE", true}, {"2", true},    {"0", false},
                        {"1", true},    {"", true},       {" 0", false},  {"False", true}};
  for (const Case& c : cases) EXPECT_EQ(c.value, flp2::parseBoolean(c.text)) << '"' << c.text << '"';
}

TEST_F(ProtocolSettingsTest, PauseBeforeDataRequests) {
  struct Case {
    int millis;
    long seconds;
  };
  const Case cases[] = {{2500, 10}, {30000, 30}, {25000, 25}, {-5, 10}, {10999, 10}, {0, 10}};
  for (const Case& c : cases) {
    ASSERT_EQ(0, settings().setInt(flp2::kCategoryDcd, "BetweenNetReq", c.millis));
    EXPECT_EQ(c.seconds, ProtocolSettings().dataRequestPauseSeconds()) << c.millis;
  }
  ASSERT_EQ(0, settings().remove(flp2::kCategoryDcd, "BetweenNetReq"));
  EXPECT_EQ(10, ProtocolSettings().dataRequestPauseSeconds());
}

TEST_F(ProtocolSettingsTest, ValuesThatDoNotConvertStayAbsent) {
  setText("Transport.DefaultTransport", L"http");
  setText("RuntimeValues.LastUpdateResult", L"success");
  setText("EnabledMode", L"hidden", flp2::kCategorySystem);
  setText("ContainerNames", L"a,,b");
  // A boolean stored as text is a value of another type: absent.
  setText("EnableType3Req", L"false");
  ProtocolSettings s;
  EXPECT_FALSE(s.mTransportBinding.has_value());
  EXPECT_FALSE(s.mLastUpdateResult.has_value());
  EXPECT_FALSE(s.mPhoneMode.has_value());
  EXPECT_FALSE(s.mEnableType3Req.has_value());
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), s.mContainerNames);

  setText("Transport.DefaultTransport", L"FILE");
  setText("RuntimeValues.LastUpdateResult", L"WRONG_VERSION");
  setText("EnabledMode", L"HIDDEN_MODE", flp2::kCategorySystem);
  ProtocolSettings t;
  EXPECT_EQ(flp2::TransportBinding::FILE, t.mTransportBinding);
  EXPECT_EQ(WRONG_VERSION, t.mLastUpdateResult);
  EXPECT_EQ(flp2::HIDDEN_MODE, t.mPhoneMode);
}

TEST_F(ProtocolSettingsTest, RuntimeValuesAreHeldAndStored) {
  {
    ProtocolSettings s;
    s.setBytesDownloaded(1234);
    s.setItemsDownloaded(56);
    s.setLastUpdateTime(1700000000);
    s.setNextUpdateTime(-1);
    s.setLastUpdateResult(CANCELLED);
    s.setAppSyncAnchor("anchor \xc3\xa9");
    s.setPhoneMode(flp2::DISABLED_NORMAL_MODE);
    EXPECT_EQ(1234, s.mBytesDownloaded);
    EXPECT_EQ(flp2::DISABLED_NORMAL_MODE, s.mPhoneMode);
  }
  ProtocolSettings again;
  EXPECT_EQ(1234, again.mBytesDownloaded);
  EXPECT_EQ(56, again.mItemsDownloaded);
  EXPECT_EQ(1700000000, again.mLastUpdateTime);
  EXPECT_EQ(-1, again.mNextUpdateTime);
  EXPECT_EQ(CANCELLED, again.mLastUpdateResult);
  EXPECT_EQ("anchor \xc3\xa9", again.mAppSyncAnchor);
  EXPECT_EQ(flp2::DISABLED_NORMAL_MODE, again.mPhoneMode);

  // The session error has no name: stored as the empty text.
  again.setLastUpdateResult(4);
  std::wstring text = L"x";
  ASSERT_EQ(0, settings().getString(flp2::kCategoryDcd, "RuntimeValues.LastUpdateResult", text));
  EXPECT_EQ(L"", text);
  // A mode outside the three is not stored.
  again.setPhoneMode(7);
  ASSERT_EQ(0, settings().getString(flp2::kCategorySystem, "EnabledMode", text));
  EXPECT_EQ(L"DISABLED_NORMAL_MODE", text);
}

TEST_F(ProtocolSettingsTest, ProvisionedSettings) {
  ProtocolSettings s;
  s.setAppSyncAnchor("A-7");
  std::wstring text;
  int number = 0;
  bool flag = false;

  EXPECT_TRUE(s.updateSetting("QVCore.DCD.flp1x.ServerURL", "http://x/\xc3\xa9", "op", "", flp2::SettingType::STRING));
  ASSERT_EQ(0, settings().getString(flp2::kCategoryDcd, "flp1x.ServerURL", text));
  EXPECT_EQ(L"http://x/\u00e9", text);
  EXPECT_EQ("", s.mAppSyncAnchor);  // a new server: sync from scratch
  ASSERT_EQ(0, settings().getString(flp2::kCategoryDcd, "RuntimeValues.AppSyncAnchor", text));
  EXPECT_EQ(L"", text);

  s.setAppSyncAnchor("A-8");
  EXPECT_TRUE(s.updateSetting("QVCore.DCD.flp20.MaxAssetsType2", "12abc", "op", "", flp2::SettingType::INT));
  ASSERT_EQ(0, settings().getInt(flp2::kCategoryDcd, "flp20.MaxAssetsType2", number));
  EXPECT_EQ(12, number);
  EXPECT_TRUE(s.updateSetting("QVCore.DCD.Timeout", "abc", "op", "", flp2::SettingType::LONG));
  ASSERT_EQ(0, settings().getInt(flp2::kCategoryDcd, "Timeout", number));
  EXPECT_EQ(0, number);
  EXPECT_TRUE(s.updateSetting("QVCore.DCD.IgnoreProv", "0", "op", "", flp2::SettingType::BOOLEAN));
  ASSERT_EQ(0, settings().getBoolean(flp2::kCategoryDcd, "IgnoreProv", flag));
  EXPECT_FALSE(flag);
  EXPECT_TRUE(s.updateSetting("QVCore.Bypass.Bypass.SessionProfile", "gprs", "op", "", flp2::SettingType::STRING));
  ASSERT_EQ(0, settings().getString(flp2::kCategoryBypass, "Bypass.SessionProfile", text));
  EXPECT_EQ(L"gprs", text);
  EXPECT_EQ("A-8", s.mAppSyncAnchor);  // only server URLs reset the anchor

  // Arrays and names in no category are refused and write nothing.
  EXPECT_FALSE(s.updateSetting("QVCore.DCD.Arr", "1,2", "op", "", flp2::SettingType::INT_ARRAY));
  EXPECT_NE(0, settings().getString(flp2::kCategoryDcd, "Arr", text));
  EXPECT_NE(0, settings().getInt(flp2::kCategoryDcd, "Arr", number));
  EXPECT_FALSE(s.updateSetting("Nowhere.key", "1", "op", "", flp2::SettingType::STRING));
  EXPECT_FALSE(s.updateSetting("nodots", "1", "op", "", flp2::SettingType::STRING));

  // Held values keep what was read at construction.
  EXPECT_NE(12, s.mMaxAssetsType2.value_or(0));
}

TEST_F(ProtocolSettingsTest, TextConversionsRoundTrip) {
  const std::wstring wide = L"caf\u00e9 \U0001F4F0 \u6f22";
  EXPECT_EQ("caf\xc3\xa9 \xf0\x9f\x93\xb0 \xe6\xbc\xa2", flp2::toUtf8(wide));
  EXPECT_EQ(wide, flp2::fromUtf8(flp2::toUtf8(wide)));
  EXPECT_EQ(L"a\ufffdb", flp2::fromUtf8("a\xff"
                                        "b"));
  // Malformed input reads as the platform's reader reads it.
  const std::string malformed[] = {"\xc3",
                                   "\xc3(",
                                   "\xe2\x82",
                                   "\xe2\x82(x",
                                   "\xf0\x9f\x93",
                                   "\xc0\x80",
                                   "\xed\xa0\x80",
                                   "\xf4\x90\x80\x80",
                                   "\x80\x80",
                                   "\xfe\xff",
                                   std::string("a\0b", 3)};
  for (const std::string& bytes : malformed) {
    std::istringstream in(bytes);
    UTF_8Util::LineReader reader(in);
    std::wstring expected;
    for (long c = reader.read(); c != -1; c = reader.read()) expected.push_back(static_cast<wchar_t>(c));
    EXPECT_EQ(expected, flp2::fromUtf8(bytes));
    std::ostringstream out;
    UTF_8Util::LineWriter writer(out);
    writer.write(expected);
    EXPECT_EQ(out.str(), flp2::toUtf8(expected));
  }
  EXPECT_EQ("\xef\xbf\xbd", flp2::toUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))));
}

}  // namespace
