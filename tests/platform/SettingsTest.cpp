// The settings manager: typed values, categories of full names, durability
// across a reopen, and the mode-change event.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "RecordingFacade.h"
#include "TempHome.h"
#include "platform/NR_Constants.h"
#include "platform/Settings.h"

namespace {

using Type = QuorvelSettingMgr::Type;

class SettingsTest : public ::testing::Test {
 protected:
  // Asked for anew each time: a reopen invalidates the old instance.
  QuorvelSettingMgr& mgr() {
    QuorvelSettingMgr* m = QuorvelSettingMgr::getSettingMgrInstance();
    if (m == nullptr) {
      std::fprintf(stderr, "no settings manager under %s\n", home.path().c_str());
      std::abort();
    }
    return *m;
  }

  // The row as another process (nrctl, the UI) sees it in the file.
  bool rawRow(int category, const std::string& key, std::string& type, std::string& value) {
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(home.file("settings.db").c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, &sqlite3_close);
    if (rc != SQLITE_OK) return false;
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db.get(), "SELECT type, value FROM settings WHERE category = ?1 AND key = ?2", -1, &s,
                       nullptr);
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(s, &sqlite3_finalize);
    sqlite3_bind_int(s, 1, category);
    sqlite3_bind_text(s, 2, key.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(s) != SQLITE_ROW) return false;
    type = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    value = reinterpret_cast<const char*>(sqlite3_column_text(s, 1));
    return true;
  }

  // What list() shows besides the shipped defaults.
  std::vector<QuorvelSettingMgr::Entry> listWithoutDefaults() {
    std::vector<QuorvelSettingMgr::Entry> out;
    for (const auto& e : mgr().list()) {
      bool isDefault = false;
      for (const auto& d : QuorvelSettingMgr::defaults()) isDefault = isDefault || (d.category == e.category && d.key == e.key);
      if (!isDefault) out.push_back(e);
    }
    return out;
  }

  TempHome home;
};

TEST_F(SettingsTest, TypedValuesAreCommittedAndSurviveAReopen) {
  const qvTypes::String text = L"gr\u00fc\u00df \u6f22 \U0001F600 \"q\" \\ \n end";
  ASSERT_EQ(0, mgr().setInt(1, "Low", INT_MIN));
  ASSERT_EQ(0, mgr().setInt(1, "High", INT_MAX));
  ASSERT_EQ(0, mgr().setBoolean(8, "Yes", true));
  ASSERT_EQ(0, mgr().setBoolean(8, "No", false));
  ASSERT_EQ(0, mgr().setString(11, "Bypass.SessionProfile", text));
  ASSERT_EQ(0, mgr().setString(10, "Empty", L""));

  // Committed: another connection reads the documented row format at once.
  std::string type;
  std::string value;
  ASSERT_TRUE(rawRow(1, "Low", type, value));
  EXPECT_EQ("int", type);
  EXPECT_EQ(std::to_string(INT_MIN), value);
  ASSERT_TRUE(rawRow(8, "Yes", type, value));
  EXPECT_EQ("boolean", type);
  EXPECT_EQ("true", value);
  ASSERT_TRUE(rawRow(11, "Bypass.SessionProfile", type, value));
  EXPECT_EQ("string", type);
  EXPECT_EQ("gr\xc3\xbc\xc3\x9f \xe6\xbc\xa2 \xf0\x9f\x98\x80 \"q\" \\ \n end", value);

  TempHome::closeAll();
  int low = 0;
  int high = 0;
  bool yes = false;
  bool no = true;
  qvTypes::String s;
  qvTypes::String empty = L"x";
  EXPECT_EQ(0, mgr().getInt(1, "Low", low));
  EXPECT_EQ(0, mgr().getInt(1, "High", high));
  EXPECT_EQ(0, mgr().getBoolean(8, "Yes", yes));
  EXPECT_EQ(0, mgr().getBoolean(8, "No", no));
  EXPECT_EQ(0, mgr().getString(11, "Bypass.SessionProfile", s));
  EXPECT_EQ(0, mgr().getString(10, "Empty", empty));
  EXPECT_EQ(INT_MIN, low);
  EXPECT_EQ(INT_MAX, high);
  EXPECT_TRUE(yes);
  EXPECT_FALSE(no);
  EXPECT_EQ(text, s);
  EXPECT_EQ(L"", empty);

  // The same key in another category is another setting.
  EXPECT_NE(0, mgr().getInt(6, "Low", low));
}

TEST_F(SettingsTest, ReadsOfMissingOrOtherTypedKeysFailAndLeaveTheValue) {
  ASSERT_EQ(0, mgr().setInt(1, "AnInt", 12));
  ASSERT_EQ(0, mgr().setBoolean(1, "ABool", true));
  ASSERT_EQ(0, mgr().setString(1, "AText", L"12"));

  struct Case {
    const char* key;
    Type readAs;
  };
  const Case cases[] = {
      {"AnInt", Type::BOOLEAN}, {"AnInt", Type::STRING}, {"ABool", Type::INT},   {"ABool", Type::STRING},
      {"AText", Type::INT},     {"AText", Type::BOOLEAN}, {"Missing", Type::INT}, {"Missing", Type::BOOLEAN},
      {"Missing", Type::STRING},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " as " + QuorvelSettingMgr::typeName(c.readAs));
    int i = -7;
    bool b = true;
    qvTypes::String s = L"untouched";
    switch (c.readAs) {
      case Type::INT:
        EXPECT_NE(0, mgr().getInt(1, c.key, i));
        break;
      case Type::BOOLEAN:
        EXPECT_NE(0, mgr().getBoolean(1, c.key, b));
        break;
      case Type::STRING:
        EXPECT_NE(0, mgr().getString(1, c.key, s));
        break;
    }
    EXPECT_EQ(-7, i);
    EXPECT_TRUE(b);
    EXPECT_EQ(L"untouched", s);
  }

  // A write with another type replaces the type.
  ASSERT_EQ(0, mgr().setString(1, "AnInt", L"now text"));
  int i = 0;
  qvTypes::String s;
  EXPECT_NE(0, mgr().getInt(1, "AnInt", i));
  EXPECT_EQ(0, mgr().getString(1, "AnInt", s));
  EXPECT_EQ(L"now text", s);
}

TEST_F(SettingsTest, ListAndRemove) {
  ASSERT_EQ(0, mgr().setString(12, "MSISDN", L"+4915"));
  ASSERT_EQ(0, mgr().setInt(1, "b", 2));
  ASSERT_EQ(0, mgr().setBoolean(1, "a", false));

  std::vector<QuorvelSettingMgr::Entry> all = listWithoutDefaults();
  ASSERT_EQ(3u, all.size());
  EXPECT_EQ(1, all[0].category);
  EXPECT_EQ("a", all[0].key);
  EXPECT_EQ(Type::BOOLEAN, all[0].type);
  EXPECT_EQ("false", all[0].value);
  EXPECT_EQ("b", all[1].key);
  EXPECT_EQ(12, all[2].category);
  EXPECT_EQ("+4915", all[2].value);

  EXPECT_EQ(0, mgr().remove(1, "b"));
  EXPECT_NE(0, mgr().remove(1, "b"));
  int v = 0;
  EXPECT_NE(0, mgr().getInt(1, "b", v));
  EXPECT_EQ(2u, listWithoutDefaults().size());
}

// The manager key of a provisioned full name, as the FLP 2.0 engine derives
// it: the name without its first two dot-separated words.
std::string withoutTwoWords(const std::string& name) {
  std::string rest = name;
  for (int i = 0; i < 2; ++i) {
    std::string::size_type dot = rest.find('.');
    if (dot != std::string::npos) rest = rest.substr(dot + 1);
  }
  return rest;
}

TEST_F(SettingsTest, CategoriesOfFullNames) {
  struct Case {
    const char* fullName;
    int category;
    const char* key;
  };
  const Case cases[] = {
      {"QVCore.DCD.flp20.ServerURL", 1, "flp20.ServerURL"},
      {"QVCore.DCD.flp1x.ServerURL", 1, "flp1x.ServerURL"},
      {"QVCore.DCD.RuntimeValues.AppSyncAnchor", 1, "RuntimeValues.AppSyncAnchor"},
      {"QVCore.Service.DownloadOption", 6, "DownloadOption"},
      {"QVCore.Storage.Limit", 7, "Limit"},
      {"QVCore.System.EnabledMode", 8, "EnabledMode"},
      {"QVCore.UI.Theme", 9, "Theme"},
      {"QVNewsReader.UI.AddNewChannelURL", 10, "AddNewChannelURL"},
      {"QVCore.Bypass.Bypass.SessionProfile", 11, "Bypass.SessionProfile"},
      {"QVCore.Bypass.Bypass.NoSessionProfile", 11, "Bypass.NoSessionProfile"},
      {"QVDevice.MSISDN", 12, "MSISDN"},
      // No category.
      {"QVCore.DCD", 13, ""},
      {"QVCore.DCD.", 13, ""},
      {"QVCore.DCDX.flp20.ServerURL", 13, ""},
      {"qvcore.dcd.flp20.ServerURL", 13, ""},
      {"QVCore.Other.Key", 13, ""},
      {"QVCore", 13, ""},
      {"Bypass.SessionProfile", 13, ""},
      {"", 13, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fullName);
    EXPECT_EQ(c.category, mgr().getCategory(MString::toWide(c.fullName)));
    int category = -1;
    std::string key = "untouched";
    bool found = QuorvelSettingMgr::splitFullName(c.fullName, category, key);
    EXPECT_EQ(c.category != QuorvelSettingMgr::kNoCategory, found);
    if (!found) continue;
    EXPECT_EQ(c.category, category);
    EXPECT_EQ(c.key, key);
    EXPECT_EQ(std::string(QuorvelSettingMgr::categoryName(category)) + "." + key, c.fullName);
    // Provisioning splits two-word category names the same way.
    if (category != 12) {
      EXPECT_EQ(c.key, withoutTwoWords(c.fullName));
    }
  }
  EXPECT_EQ(nullptr, QuorvelSettingMgr::categoryName(2));
  EXPECT_EQ(nullptr, QuorvelSettingMgr::categoryName(13));
}

TEST_F(SettingsTest, ModeChangeIsPublished) {
  RecordingFacade facade;
  EXPECT_EQ(0, mgr().notifySettingModeChange("HIDDEN_MODE"));
  std::vector<RecordedEvent> events = facade.eventsOn(NR_Constants::EVENT_SETTING_MODE_CHANGE);
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ("HIDDEN_MODE", events[0].prop("mode"));
}

TEST_F(SettingsTest, ConcurrentWritersAndReaders) {
  QuorvelSettingMgr* m = &mgr();
  auto work = [m](int category) {
    for (int i = 0; i < 40; ++i) {
      std::string key = "k" + std::to_string(i);
      m->setInt(category, key, i);
      int v = -1;
      if (m->getInt(category, key, v) != 0 || v != i) ADD_FAILURE() << category << ":" << key;
    }
  };
  std::thread a(work, 1);
  std::thread b(work, 8);
  a.join();
  b.join();
  EXPECT_EQ(80u, listWithoutDefaults().size());
}

TEST(SettingsStore, UnavailableStoreGivesNullAndOneLogLine) {
  TempHome home;
  LogCapture log;
  // The home is a plain file.
  std::string file = home.file("plain");
  std::FILE* f = std::fopen(file.c_str(), "w");
  ASSERT_NE(nullptr, f);
  std::fclose(f);
  setenv("QUORVEL_HOME", file.c_str(), 1);
  TempHome::closeAll();
  EXPECT_EQ(nullptr, QuorvelSettingMgr::getSettingMgrInstance());
  EXPECT_EQ(nullptr, QuorvelSettingMgr::getSettingMgrInstance());
  EXPECT_EQ(1u, log.count("Settings store unavailable"));

  // A settings file that is not a database is never deleted: it is kept
  // aside for inspection, and the store serves again.
  setenv("QUORVEL_HOME", home.path().c_str(), 1);
  TempHome::closeAll();
  const std::string text = "this is not a database, but it is somebody's file\n";
  f = std::fopen(home.file("settings.db").c_str(), "w");
  ASSERT_NE(nullptr, f);
  std::fputs(text.c_str(), f);
  std::fclose(f);
  EXPECT_NE(nullptr, QuorvelSettingMgr::getSettingMgrInstance());
  int kept = 0;
  for (const auto& e : std::filesystem::directory_iterator(home.path())) {
    if (e.path().filename().string().rfind("settings.db.damaged-", 0) != 0) continue;
    std::ifstream in(e.path());
    EXPECT_EQ(text, std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    ++kept;
  }
  EXPECT_EQ(1, kept);
}

}  // namespace
