// The content cache as another process reads it, and a run of an update at
// every write position with the fault-injection seam: after each run the
// store must pass its integrity check, hold no reference that leads
// nowhere, and hold exactly the content from before the update (when it
// failed) or the complete new content (when it succeeded).
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <stdlib.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/FaultInjection.h"

namespace storecheck {

struct Snapshot {
  std::string integrity;           // "ok" when sound
  std::vector<std::string> rows;   // every row but its time stamp, sorted
  std::vector<std::string> dangling;  // "owner -> missing id"
};

inline std::vector<std::string> column(sqlite3* db, const char* sql, std::string* error) {
  std::vector<std::string> out;
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
    *error = sqlite3_errmsg(db);
    return out;
  }
  std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> stmt(raw, &sqlite3_finalize);
  int rc;
  while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
    const unsigned char* p = sqlite3_column_text(raw, 0);
    out.emplace_back(p != nullptr ? reinterpret_cast<const char*>(p) : "");
  }
  if (rc != SQLITE_DONE) *error = sqlite3_errmsg(db);
  return out;
}

inline Snapshot snapshot(const std::string& dbPath) {
  Snapshot s;
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(dbPath.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, &sqlite3_close);
  if (rc != SQLITE_OK) {
    s.integrity = "cannot open";
    return s;
  }
  std::string error;
  std::vector<std::string> check = column(raw, "PRAGMA integrity_check", &error);
  for (const std::string& line : check) s.integrity += (s.integrity.empty() ? "" : "; ") + line;
  s.rows = column(raw,
                  "SELECT 'container ' || id || ' ' || channel_ids FROM containers"
                  " UNION ALL SELECT 'channel ' || id || ' ' || title || '|' || summary || '|' || fields FROM channels"
                  " UNION ALL SELECT 'item ' || id || ' ' || title || '|' || summary || '|' || fields FROM items"
                  " UNION ALL SELECT 'asset ' || id || ' ' || mime || '|' || size || '|' || file FROM assets"
                  " ORDER BY 1",
                  &error);
  s.dangling = column(raw,
                      "SELECT 'container ' || c.id || ' -> ' || j.value FROM containers c, json_each(c.channel_ids) j"
                      " WHERE j.value NOT IN (SELECT id FROM channels)"
                      " UNION ALL SELECT 'channel ' || ch.id || ' -> ' || j.value"
                      " FROM channels ch, json_each(ch.fields, '$.itemIds') j"
                      " WHERE j.value NOT IN (SELECT id FROM items) ORDER BY 1",
                      &error);
  if (!error.empty()) s.integrity += " (" + error + ")";
  return s;
}

// Another process's connection to a database, holding a lock until it is
// let go (or destroyed).
class LockHolder {
 public:
  // exclusiveMode keeps even readers out (possible only while no other
  // connection has the file open).
  LockHolder(const std::string& path, bool exclusiveMode) {
    sqlite3* raw = nullptr;
    sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    mDb.reset(raw);
    if (exclusiveMode) exec("PRAGMA locking_mode=EXCLUSIVE");
    held = exec(exclusiveMode ? "BEGIN EXCLUSIVE" : "BEGIN IMMEDIATE") &&
           exec("CREATE TABLE IF NOT EXISTS holder (x)") && exec("INSERT INTO holder VALUES (1)");
  }
  void release() {
    exec("ROLLBACK");
    mDb.reset();
  }
  bool held = false;

 private:
  bool exec(const char* sql) { return mDb && sqlite3_exec(mDb.get(), sql, nullptr, nullptr, nullptr) == SQLITE_OK; }
  std::unique_ptr<sqlite3, decltype(&sqlite3_close)> mDb{nullptr, &sqlite3_close};
};

struct FaultMode {
  const char* name;
  qvfault::Fault fault;
  bool persistent;  // a disk that stays full, or one failed write
};

// A full disk that stays full, and a single I/O error after which writes
// work again (the case where writes made after SQLite's own rollback would
// be committed one by one).
inline const std::vector<FaultMode>& faultModes() {
  static const std::vector<FaultMode> kModes = {
      {"disk full", qvfault::Fault::kDiskFull, true},
      {"one I/O error", qvfault::Fault::kIoError, false},
  };
  return kModes;
}

struct SweepResult {
  int positions = 0;  // write positions that failed a write
  int failedUpdates = 0;
};

// fresh() makes a new home holding the old content and returns the path of
// its cache.db; update() runs the update there and says whether it
// succeeded. Both are first run without a fault to learn the old and the
// new content; then the update runs with its Nth write to cache.db failing,
// for N = 1, 2, ... until no write fails any more.
inline SweepResult sweep(const FaultMode& mode, const std::function<std::string()>& fresh,
                         const std::function<bool()>& update) {
  SweepResult result;
  EXPECT_TRUE(qvfault::install());
  qvfault::disarm();
  std::string path = fresh();
  const Snapshot before = snapshot(path);
  EXPECT_TRUE(update()) << "the update must succeed without a fault";
  const Snapshot after = snapshot(path);
  EXPECT_NE(before.rows, after.rows) << "the update must change the store";
  EXPECT_TRUE(after.dangling.empty());

  constexpr int kMaxPositions = 5000;
  for (int n = 1; n <= kMaxPositions; ++n) {
    qvfault::disarm();
    path = fresh();
    qvfault::failWrite(n, mode.fault, mode.persistent, "cache.db");
    const bool ok = update();
    const bool fired = qvfault::fired();
    qvfault::disarm();
    const Snapshot now = snapshot(path);
    SCOPED_TRACE(std::string(mode.name) + ", write " + std::to_string(n) + (ok ? ", update succeeded" : ", update failed"));
    EXPECT_EQ("ok", now.integrity);
    EXPECT_EQ(std::vector<std::string>(), now.dangling);
    EXPECT_EQ(ok ? after.rows : before.rows, now.rows);
    if (!fired) {
      EXPECT_TRUE(ok) << "no write failed, yet the update did";
      break;
    }
    ++result.positions;
    if (!ok) ++result.failedUpdates;
    if (::testing::Test::HasFailure()) break;  // one broken position says enough
  }
  EXPECT_GT(result.positions, 0);
  return result;
}

// The small-file-system test: the calling test runs again in a child
// process with its own mount namespace, where QUORVEL_HOME lies on a tmpfs
// of sizeKb. In the child (smallHome() is not empty) the test does its
// work; in the parent it calls this and checks the child's result. Skips
// with a message where the machine allows no such mount.
inline std::string smallHome() {
  const char* home = std::getenv("QV_SMALL_FS_HOME");
  return home != nullptr ? home : "";
}

inline void runOnSmallFilesystem(int sizeKb) {
  char pattern[] = "/tmp/qv-small-fs-XXXXXX";
  if (mkdtemp(pattern) == nullptr) GTEST_SKIP() << "no temporary directory";
  const std::string dir = pattern;
  const std::string mount = "mount -t tmpfs -o size=" + std::to_string(sizeKb) + "k tmpfs " + dir;
  const std::string probe = "unshare -rm sh -c '" + mount + "' >/dev/null 2>&1";
  if (std::system(probe.c_str()) != 0) {
    ::rmdir(dir.c_str());
    GTEST_SKIP() << "this machine allows no tmpfs mount in a user namespace (unshare -rm): "
                 << "the small-file-system test is skipped";
  }
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string outPath = dir + ".out";
  const std::string child = "QV_SMALL_FS_HOME=" + dir + "/home unshare -rm sh -c '" + mount + " && exec " + self +
                            " --gtest_filter=" + info->test_suite_name() + "." + info->name() + "' >" + outPath +
                            " 2>&1";
  const int status = std::system(child.c_str());
  std::string out;
  if (FILE* f = std::fopen(outPath.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
  }
  std::remove(outPath.c_str());
  ::rmdir(dir.c_str());
  EXPECT_EQ(0, status) << out.substr(out.size() > 6000 ? out.size() - 6000 : 0);
  EXPECT_NE(std::string::npos, out.find("[  PASSED  ] 1 test")) << out.substr(out.size() > 6000 ? out.size() - 6000 : 0);
}

}  // namespace storecheck
