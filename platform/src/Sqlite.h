// A small SQLite wrapper for the settings store and the content cache: the
// connection and every prepared statement are owned by unique_ptr deleters
// from the line that creates them.
//
// Threads: a Database and its Statements are not locked here; their owner
// serialises all use (both owners hold one mutex around every call).
//
// Every failure is logged once here, at level 3, with SQLite's message;
// callers only pass the result on.
#pragma once

#include <sqlite3.h>

#include <map>
#include <memory>
#include <string>

namespace qvsql {

struct DbCloser {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
// Finalizes a statement, or, for one a Database keeps for reuse, resets it
// and clears its bindings for the next use.
struct StmtFinalizer {
  bool reuse = false;
  void operator()(sqlite3_stmt* stmt) const noexcept {
    if (reuse) {
      sqlite3_reset(stmt);
      sqlite3_clear_bindings(stmt);
    } else {
      sqlite3_finalize(stmt);
    }
  }
};
using DbPtr = std::unique_ptr<sqlite3, DbCloser>;
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

class Statement {
 public:
  Statement() = default;
  // cached: the statement belongs to the Database, which keeps it for
  // reuse; this object only resets it when done.
  Statement(sqlite3* db, sqlite3_stmt* stmt, bool cached = false)
      : mDb(db), mStmt(stmt, StmtFinalizer{cached}) {}

  bool valid() const { return mStmt != nullptr; }

  // Parameters are numbered from 1. Text is bound with its length, so any
  // bytes (NUL included) are stored as they are.
  Statement& bind(int index, const std::string& text);
  Statement& bind(int index, long long value);

  // One step: true with a row to read, false when done or on an error
  // (then failed() is true).
  bool next();
  // Steps to the end; false on an error (or an invalid statement).
  bool run();
  bool failed() const { return mFailed; }

  std::string text(int column) const;
  long long integer(int column) const;

 private:
  sqlite3* mDb = nullptr;
  StmtPtr mStmt;
  bool mFailed = false;
};

// Another process's write lock is waited for this long unless the caller
// says otherwise (the "QVCore.Storage.LockWaitSeconds" setting).
constexpr int kDefaultBusyMillis = 30000;

class Database {
 public:
  // Opens (creating) the file for reading and writing, in WAL mode, with a
  // busy time-out so that another process's writer is waited for (up to
  // busyMillis, kDefaultBusyMillis when negative), and with synchronous=FULL
  // so that a committed write is on disk when the call returns. False with a
  // one-line reason; the code SQLite gave is in lastCode().
  bool open(const std::string& path, std::string& error, int busyMillis = -1);
  // How long a later statement waits for another process's lock.
  void setBusyTimeout(int millis);
  // True while a transaction is open on this connection. SQLite ends one by
  // itself (rolls it back) when a statement fails with a full disk, an I/O
  // error, no memory or, at times, a busy lock: a writer inside a batch must
  // look here before going on, or its writes would be committed one by one.
  bool inTransaction() const { return mDb != nullptr && sqlite3_get_autocommit(mDb.get()) == 0; }
  void close() {
    mCached.clear();
    mDb.reset();
  }
  bool isOpen() const { return mDb != nullptr; }

  // Runs one or more statements without results. False on failure.
  bool exec(const char* sql);
  // An invalid Statement on failure.
  Statement prepare(const char* sql);
  // The same for a statement that is run again and again: it is compiled
  // once per connection and kept. Only one Statement of a given text may be
  // in use at a time (the owners' mutex sees to that).
  Statement prepareCached(const char* sql);
  // Writes a complete, consistent copy of the database to path (which must
  // not exist), synced to disk. False on failure.
  bool copyTo(const std::string& path);
  // The single text result of a query such as a PRAGMA; false on failure.
  bool queryText(const char* sql, std::string& out);

  int lastCode() const { return mLastCode; }
  const std::string& path() const { return mPath; }
  // Rows changed by the last INSERT, UPDATE or DELETE.
  int changes() const { return mDb != nullptr ? sqlite3_changes(mDb.get()) : 0; }

 private:
  DbPtr mDb;
  // Declared after mDb, so the statements go before the connection.
  std::map<std::string, StmtPtr> mCached;
  int mLastCode = SQLITE_OK;
  std::string mPath;
  // The busy handler's state: how long to wait, and since when this wait
  // runs (it is called again and again for one statement).
  int mBusyMillis = kDefaultBusyMillis;
  long long mBusySince = 0;
  static int onBusy(void* self, int count);
};

// BEGIN IMMEDIATE ... COMMIT; rolls back when destroyed uncommitted.
class Transaction {
 public:
  explicit Transaction(Database& db) : mDb(db), mActive(db.exec("BEGIN IMMEDIATE")) {}
  ~Transaction() {
    if (mActive && mDb.inTransaction()) mDb.exec("ROLLBACK");
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  bool active() const { return mActive; }
  bool commit() {
    if (!mActive) return false;
    mActive = false;
    if (mDb.exec("COMMIT")) return true;
    // A failed COMMIT may have ended the transaction already.
    if (mDb.inTransaction()) mDb.exec("ROLLBACK");
    return false;
  }

 private:
  Database& mDb;
  bool mActive;
};

}  // namespace qvsql
