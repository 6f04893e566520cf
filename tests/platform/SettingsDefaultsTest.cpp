// The settings of a fresh install: the shipped file is what a new store
// holds, and stored values always win over it.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <utility>

#include "RecordingFacade.h"
#include "TempHome.h"
#include "platform/Settings.h"

namespace {

using Type = QuorvelSettingMgr::Type;

std::string trim(const std::string& s) {
  std::string::size_type b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

struct FileEntry {
  std::string type;
  std::string value;
};

// The shipped file read the way nrctl import reads it.
std::map<std::string, FileEntry> shippedFile() {
  std::map<std::string, FileEntry> out;
  std::ifstream in(std::string(QV_SOURCE_DIR) + "/platform/defaults/settings-defaults.conf");
  EXPECT_TRUE(in.good());
  std::string line;
  while (std::getline(in, line)) {
    line = trim(line);
    if (line.empty() || line[0] == '#') continue;
    std::string::size_type eq = line.find('=');
    std::string name = trim(line.substr(0, eq));
    std::string::size_type colon = name.rfind(':');
    EXPECT_NE(std::string::npos, colon) << "every default names its type: " << line;
    out[trim(name.substr(0, colon))] = FileEntry{trim(name.substr(colon + 1)), trim(line.substr(eq + 1))};
  }
  return out;
}

std::string fullName(const QuorvelSettingMgr::Entry& e) {
  return std::string(QuorvelSettingMgr::categoryName(e.category)) + "." + e.key;
}

TEST(SettingsDefaults, AFreshStoreHoldsEveryShippedSetting) {
  TempHome home;
  LogCapture log;
  QuorvelSettingMgr* mgr = QuorvelSettingMgr::getSettingMgrInstance();
  ASSERT_NE(nullptr, mgr);
  EXPECT_FALSE(log.contains("Settings defaults")) << log.text();

  const std::map<std::string, FileEntry> file = shippedFile();
  std::map<std::string, QuorvelSettingMgr::Entry> stored;
  for (const auto& e : mgr->list()) stored[fullName(e)] = e;
  EXPECT_EQ(file.size(), stored.size());
  for (const auto& f : file) {
    SCOPED_TRACE(f.first);
    auto it = stored.find(f.first);
    ASSERT_NE(stored.end(), it);
    const char* expectedType = f.second.type == "bool" ? "boolean" : f.second.type.c_str();
    EXPECT_STREQ(expectedType, QuorvelSettingMgr::typeName(it->second.type));
    EXPECT_EQ(f.second.value, it->second.value);
  }

  // What the engines rely on, read through the typed getters.
  qvTypes::String text = L"untouched";
  EXPECT_EQ(0, mgr->getString(1, "flp1x.ServerURL", text));
  EXPECT_EQ(L"", text);
  EXPECT_EQ(0, mgr->getString(8, "EnabledMode", text));
  EXPECT_EQ(L"ENABLED_NORMAL_MODE", text);
  int number = -1;
  EXPECT_EQ(0, mgr->getInt(1, "RuntimeValues.BytesDownloaded", number));
  EXPECT_EQ(0, number);
  bool flag = false;
  EXPECT_EQ(0, mgr->getBoolean(1, "EnableServerReq", flag));
  EXPECT_TRUE(flag);
  // Keys whose absence means something to their reader stay absent.
  EXPECT_NE(0, mgr->getInt(1, "Timeout", number));
  EXPECT_NE(0, mgr->getBoolean(1, "Transport.EnableGzip", flag));
  EXPECT_NE(0, mgr->getString(1, "flp20.ServerURL", text));
}

TEST(SettingsDefaults, StoredValuesWinAndRemovedDefaultsComeBack) {
  TempHome home;
  QuorvelSettingMgr* mgr = QuorvelSettingMgr::getSettingMgrInstance();
  ASSERT_NE(nullptr, mgr);
  ASSERT_EQ(0, mgr->setString(1, "flp1x.ServerURL", L"http://news.example/flp"));
  ASSERT_EQ(0, mgr->setInt(1, "flp1x.CompressionType", 0));  // another type than the default's
  ASSERT_EQ(0, mgr->remove(10, "DefineChannelURL"));

  TempHome::closeAll();
  mgr = QuorvelSettingMgr::getSettingMgrInstance();
  ASSERT_NE(nullptr, mgr);
  qvTypes::String text;
  EXPECT_EQ(0, mgr->getString(1, "flp1x.ServerURL", text));
  EXPECT_EQ(L"http://news.example/flp", text);
  int number = -1;
  EXPECT_EQ(0, mgr->getInt(1, "flp1x.CompressionType", number));
  EXPECT_EQ(0, number);
  text = L"untouched";
  EXPECT_EQ(0, mgr->getString(10, "DefineChannelURL", text));
  EXPECT_EQ(L"", text);
}

}  // namespace
