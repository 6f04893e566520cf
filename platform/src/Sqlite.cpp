#include "Sqlite.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "platform/FaultInjection.h"
#include "platform/Log.h"

namespace qvsql {

Statement& Statement::bind(int index, const std::string& text) {
  if (mStmt == nullptr) return *this;
  int rc = sqlite3_bind_text(mStmt.get(), index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) {
    QV_LOG(3, "SQLite bind of parameter %d failed: %s\n", index, sqlite3_errstr(rc));
    mFailed = true;
  }
  return *this;
}

Statement& Statement::bind(int index, long long value) {
  if (mStmt == nullptr) return *this;
  int rc = sqlite3_bind_int64(mStmt.get(), index, static_cast<sqlite3_int64>(value));
  if (rc != SQLITE_OK) {
    QV_LOG(3, "SQLite bind of parameter %d failed: %s\n", index, sqlite3_errstr(rc));
    mFailed = true;
  }
  return *this;
}

bool Statement::next() {
  if (mStmt == nullptr || mFailed) {
    mFailed = true;
    return false;
  }
  int rc = sqlite3_step(mStmt.get());
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) {
    QV_LOG(3, "SQLite statement \"%s\" failed: %s\n", sqlite3_sql(mStmt.get()), sqlite3_errmsg(mDb));
    mFailed = true;
  }
  return false;
}

bool Statement::run() {
  while (next()) {
  }
  return !mFailed;
}

std::string Statement::text(int column) const {
  const unsigned char* p = sqlite3_column_text(mStmt.get(), column);
  int n = sqlite3_column_bytes(mStmt.get(), column);
  if (p == nullptr || n <= 0) return std::string();
  return std::string(reinterpret_cast<const char*>(p), static_cast<std::string::size_type>(n));
}

long long Statement::integer(int column) const {
  return static_cast<long long>(sqlite3_column_int64(mStmt.get(), column));
}

bool Database::open(const std::string& path, std::string& error, int busyMillis) {
  close();
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  // The handle is owned even when opening failed: it must still be closed.
  DbPtr db(raw);
  mLastCode = rc;
  if (rc != SQLITE_OK) {
    error = "cannot open " + path + ": " + (db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(rc));
    return false;
  }
  sqlite3_extended_result_codes(db.get(), 0);
  mPath = path;
  mBusyMillis = busyMillis < 0 ? kDefaultBusyMillis : busyMillis;
  sqlite3_busy_handler(db.get(), &Database::onBusy, this);
  mDb = std::move(db);

  // journal_mode answers with the mode in force; anything but "wal" means the
  // file could not be switched (or is not a database at all).
  std::string mode;
  if (!queryText("PRAGMA journal_mode=WAL", mode) || mode != "wal") {
    error = "cannot put " + path + " in WAL mode: " + sqlite3_errmsg(mDb.get());
    mDb.reset();
    return false;
  }
  // The fault-injection seam's test hook (never set in production).
  if (int pages = qvfault::pageCacheLimit()) {
    exec(("PRAGMA cache_size=" + std::to_string(pages)).c_str());
  }
  // In WAL mode FULL syncs the log at every commit; NORMAL would let the
  // last commits vanish on a power cut.
  if (!exec("PRAGMA synchronous=FULL")) {
    error = "cannot configure " + path + ": " + sqlite3_errmsg(mDb.get());
    mDb.reset();
    return false;
  }
  return true;
}

void Database::setBusyTimeout(int millis) { mBusyMillis = millis < 0 ? kDefaultBusyMillis : millis; }

namespace {
long long steadyMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

// Waits in growing steps (up to 100 ms) until the limit; the first call of a
// wait says so once, so that a held lock is visible in the log.
int Database::onBusy(void* self, int count) {
  Database& db = *static_cast<Database*>(self);
  long long now = steadyMillis();
  if (count == 0) {
    db.mBusySince = now;
    QV_LOG(7, "%s is locked by another process; waiting up to %d ms\n", db.mPath.c_str(), db.mBusyMillis);
  }
  long long left = db.mBusySince + db.mBusyMillis - now;
  if (left <= 0) {
    QV_LOG(3, "%s stayed locked by another process for %d ms; giving up\n", db.mPath.c_str(), db.mBusyMillis);
    return 0;
  }
  sqlite3_sleep(static_cast<int>(std::min<long long>(left, std::min(100, 1 + count * 10))));
  return 1;
}

bool Database::exec(const char* sql) {
  if (mDb == nullptr) return false;
  char* message = nullptr;
  int rc = sqlite3_exec(mDb.get(), sql, nullptr, nullptr, &message);
  std::unique_ptr<char, decltype(&sqlite3_free)> owned(message, &sqlite3_free);
  mLastCode = rc;
  if (rc != SQLITE_OK) {
    QV_LOG(3, "SQLite \"%s\" failed: %s\n", sql, owned ? owned.get() : sqlite3_errstr(rc));
    return false;
  }
  return true;
}

Statement Database::prepare(const char* sql) {
  if (mDb == nullptr) return Statement();
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v2(mDb.get(), sql, -1, &raw, nullptr);
  Statement stmt(mDb.get(), raw);
  mLastCode = rc;
  if (rc != SQLITE_OK) {
    QV_LOG(3, "SQLite cannot prepare \"%s\": %s\n", sql, sqlite3_errmsg(mDb.get()));
    return Statement();
  }
  return stmt;
}

Statement Database::prepareCached(const char* sql) {
  if (mDb == nullptr) return Statement();
  auto it = mCached.find(sql);
  if (it == mCached.end()) {
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v3(mDb.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
    StmtPtr owned(raw);
    mLastCode = rc;
    if (rc != SQLITE_OK || raw == nullptr) {
      QV_LOG(3, "SQLite cannot prepare \"%s\": %s\n", sql, sqlite3_errmsg(mDb.get()));
      return Statement();
    }
    it = mCached.emplace(sql, std::move(owned)).first;
  }
  return Statement(mDb.get(), it->second.get(), true);
}

bool Database::copyTo(const std::string& path) {
  Statement stmt = prepare("VACUUM INTO ?1");
  stmt.bind(1, path);
  if (!stmt.run()) return false;
  // VACUUM INTO does not sync what it wrote.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

bool Database::queryText(const char* sql, std::string& out) {
  Statement stmt = prepare(sql);
  if (!stmt.valid()) return false;
  if (!stmt.next()) {
    if (stmt.failed()) mLastCode = sqlite3_errcode(mDb.get());
    return false;
  }
  out = stmt.text(0);
  stmt.run();
  return !stmt.failed();
}

}  // namespace qvsql
