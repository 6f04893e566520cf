// A fresh QUORVEL_HOME for one test: the process-wide settings manager and
// content cache are closed on entry and exit, so each test opens its own.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/ContentCache.h"
#include "platform/Settings.h"

class TempHome {
 public:
  TempHome() {
    char pattern[] = "/tmp/qv-platform-test-XXXXXX";
    char* dir = mkdtemp(pattern);
    EXPECT_NE(dir, nullptr);
    mPath = dir != nullptr ? dir : "/tmp";
    setenv("QUORVEL_HOME", mPath.c_str(), 1);
    closeAll();
  }
  ~TempHome() {
    closeAll();
    unsetenv("QUORVEL_HOME");
    std::error_code ignored;
    std::filesystem::remove_all(mPath, ignored);
  }
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::string& path() const { return mPath; }
  std::string file(const std::string& name) const { return mPath + "/" + name; }

  // Closes both stores, as a restart of the process would.
  static void closeAll() {
    NR_ContentCache::resetForTesting();
    QuorvelSettingMgr::resetForTesting();
  }

 private:
  std::string mPath;
};

// One value of a database, read as a user interface would: the first column
// of the first row of sql, or a marked text saying why there is none.
inline std::string queryOne(const std::string& dbPath, const std::string& sql) {
  sqlite3* raw = nullptr;
  sqlite3_open_v2(dbPath.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, &sqlite3_close);
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &s, nullptr) != SQLITE_OK) return "<" + sql + " failed>";
  std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(s, &sqlite3_finalize);
  if (sqlite3_step(s) != SQLITE_ROW) return "<no row>";
  const unsigned char* text = sqlite3_column_text(s, 0);
  return text != nullptr ? reinterpret_cast<const char*>(text) : "<null>";
}
