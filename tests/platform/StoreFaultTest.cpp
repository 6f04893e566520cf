// The stores under I/O faults: a batch of the content cache is kept whole
// or not at all whatever fails under it (a write, SQLite's own rollback, a
// lock held too long); a lock held at start-up is waited for; a damaged
// settings store is set aside and its last good copy restored.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "RecordingFacade.h"
#include "StoreCheck.h"
#include "TempHome.h"
#include "platform/ContentCache.h"
#include "platform/FaultInjection.h"
#include "platform/Settings.h"

namespace {

constexpr int kStorage = 7;

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> filesStartingWith(const std::string& dir, const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    std::string name = e.path().filename().string();
    if (name.compare(0, prefix.size(), prefix) == 0) out.push_back(name);
  }
  return out;
}

class StoreFaultTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(qvfault::install()); }
  void TearDown() override { qvfault::disarm(); }

  NR_ContentCache& cache() { return *NR_ContentCache::getInstance(); }
  void storeOld() {
    ASSERT_EQ(0, cache().save("old", Item("old")));
    Channel c("c1");
    c.addItemId("old");
    ASSERT_EQ(0, cache().save("c1", c));
  }

  TempHome home;
  LogCapture log;
};

// After SQLite itself ended the transaction, a batch that went on writing
// would commit each write on its own: they must be refused instead.
TEST_F(StoreFaultTest, AFailedWriteBreaksTheWholeBatch) {
  for (const storecheck::FaultMode& mode : storecheck::faultModes()) {
    SCOPED_TRACE(mode.name);
    TempHome::closeAll();
    std::filesystem::remove(home.file("cache.db"));
    std::filesystem::remove(home.file("cache.db-wal"));
    storeOld();
    const storecheck::Snapshot before = storecheck::snapshot(home.file("cache.db"));
    {
      NR_ContentCache::BatchScope batch(cache());
      ASSERT_TRUE(batch.active());
      ASSERT_EQ(0, cache().save("new1", Item("new1")));
      // Larger than the page cache: it spills to the file inside the batch,
      // and the failed spill makes SQLite roll the transaction back itself.
      Item big("big");
      big.setSummary(std::wstring(3 << 20, L'x'));
      qvfault::failWrite(1, mode.fault, mode.persistent, "cache.db");
      EXPECT_NE(0, cache().save("big", big));
      qvfault::disarm();
      EXPECT_NE(0, cache().save("new2", Item("new2")));  // refused, not written on its own
      Item old;
      EXPECT_NE(0, cache().remove("old", old));
      EXPECT_NE(0, batch.commit());
    }
    EXPECT_EQ(before.rows, storecheck::snapshot(home.file("cache.db")).rows);
    // The next batch works again.
    NR_ContentCache::BatchScope next(cache());
    ASSERT_EQ(0, cache().save("after", Item("after")));
    EXPECT_EQ(0, next.commit());
  }
}

// A write refused for its own reasons (no id, nothing to remove) is no I/O
// failure: the batch goes on.
TEST_F(StoreFaultTest, ARefusedWriteDoesNotBreakTheBatch) {
  storeOld();
  NR_ContentCache::BatchScope batch(cache());
  EXPECT_NE(0, cache().save("", Item("")));
  EXPECT_NE(0, cache().remove("absent", Item()));
  EXPECT_EQ(0, cache().save("new", Item("new")));
  EXPECT_EQ(0, batch.commit());
  Item item;
  EXPECT_EQ(0, cache().get("new", item));
}

TEST_F(StoreFaultTest, ALockHeldLongerThanTheSettingFailsTheBatchAndKeepsTheStore) {
  ASSERT_EQ(0, QuorvelSettingMgr::getSettingMgrInstance()->setInt(kStorage, "LockWaitSeconds", 1));
  storeOld();
  const storecheck::Snapshot before = storecheck::snapshot(home.file("cache.db"));
  storecheck::LockHolder holder(home.file("cache.db"), false);
  ASSERT_TRUE(holder.held);
  {
    NR_ContentCache::BatchScope batch(cache());
    EXPECT_FALSE(batch.active());
    EXPECT_NE(0, cache().save("new", Item("new")));  // never one by one
    EXPECT_NE(0, batch.commit());
  }
  holder.release();
  EXPECT_EQ(before.rows, storecheck::snapshot(home.file("cache.db")).rows);
  EXPECT_TRUE(log.contains("Cannot begin a batch of content-cache writes; none of its writes is made"));
  EXPECT_TRUE(log.contains("stayed locked by another process for 1000 ms; giving up"));
}

// The lock is let go only once the opening process says it is waiting, so
// the wait is what lets the start succeed.
TEST_F(StoreFaultTest, ALockHeldAtStartUpIsWaitedOut) {
  storeOld();
  TempHome::closeAll();
  ASSERT_EQ(0, QuorvelSettingMgr::getSettingMgrInstance()->setInt(kStorage, "LockWaitSeconds", 600));
  TempHome::closeAll();
  const std::string logPath = home.file("start.log");
  FILE* logFile = std::fopen(logPath.c_str(), "w");
  ASSERT_NE(nullptr, logFile);
  std::setvbuf(logFile, nullptr, _IONBF, 0);
  FILE* saved = librunlog_to_module_ptr;
  librunlog_to_module_ptr = logFile;

  storecheck::LockHolder holder(home.file("cache.db"), true);
  ASSERT_TRUE(holder.held);
  std::atomic<int> started{-1};
  std::thread starter([&] {
    NR_ContentCache* c = NR_ContentCache::getInstance();
    started = c != nullptr && c->sync() == 0 ? 1 : 0;
  });
  for (int i = 0; i < 6000 && readAll(logPath).find("is locked by another process; waiting") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_NE(std::string::npos, readAll(logPath).find("is locked by another process; waiting up to 600000 ms"));
  holder.release();
  starter.join();
  librunlog_to_module_ptr = saved;
  std::fclose(logFile);
  EXPECT_EQ(1, started.load());
  Item old;
  EXPECT_EQ(0, cache().get("old", old));
}

// A settings store damaged in any way is set aside; the last good copy
// brings back what was provisioned.
TEST_F(StoreFaultTest, ADamagedSettingsStoreIsRestoredFromTheLastGoodCopy) {
  struct Damage {
    const char* name;
    void (*apply)(const std::string& file);
  };
  const Damage damages[] = {
      {"garbage", [](const std::string& f) { writeAll(f, std::string(8192, '\x5a')); }},
      {"cut short", [](const std::string& f) { std::filesystem::resize_file(f, 1500); }},
      {"zeroed header", [](const std::string& f) { writeAll(f, std::string(100, '\0') + readAll(f).substr(100)); }},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.name);
    TempHome::closeAll();
    for (const std::string& name : filesStartingWith(home.path(), "settings.db")) {
      std::filesystem::remove(home.file(name));
    }
    QuorvelSettingMgr* mgr = QuorvelSettingMgr::getSettingMgrInstance();
    ASSERT_NE(nullptr, mgr);
    ASSERT_EQ(0, mgr->setString(1, "flp20.ServerURL", L"http://provisioned.example/dcd"));
    // Enough settings that the file has several pages to lose.
    for (int i = 0; i < 60; ++i) ASSERT_EQ(0, mgr->setString(9, "filler" + std::to_string(i), std::wstring(100, L'f')));
    TempHome::closeAll();
    // The log of the last writes is gone too: the file alone is damaged.
    std::filesystem::remove(home.file("settings.db-wal"));
    std::filesystem::remove(home.file("settings.db-shm"));
    d.apply(home.file("settings.db"));
    const std::string damagedBytes = readAll(home.file("settings.db"));

    const size_t linesBefore = log.count("Settings store ");
    mgr = QuorvelSettingMgr::getSettingMgrInstance();
    ASSERT_NE(nullptr, mgr);
    qvTypes::String url;
    EXPECT_EQ(0, mgr->getString(1, "flp20.ServerURL", url));
    EXPECT_EQ(L"http://provisioned.example/dcd", url);
    EXPECT_EQ(linesBefore + 1, log.count("Settings store "));
    EXPECT_TRUE(log.contains("restored from the last good copy"));
    std::vector<std::string> aside = filesStartingWith(home.path(), "settings.db.damaged-");
    ASSERT_EQ(1u, aside.size());
    EXPECT_EQ(damagedBytes, readAll(home.file(aside[0])));
  }

  // Without a good copy the defaults apply, and the store serves.
  TempHome::closeAll();
  for (const std::string& name : filesStartingWith(home.path(), "settings.db")) std::filesystem::remove(home.file(name));
  writeAll(home.file("settings.db"), "this is not a database\n");
  QuorvelSettingMgr* mgr = QuorvelSettingMgr::getSettingMgrInstance();
  ASSERT_NE(nullptr, mgr);
  int wait = 0;
  EXPECT_EQ(0, mgr->getInt(kStorage, "LockWaitSeconds", wait));
  EXPECT_EQ(30, wait);
  EXPECT_TRUE(log.contains("no last good copy could be used: starting from the defaults"));
  EXPECT_EQ(0, mgr->setInt(kStorage, "LockWaitSeconds", 5));
}

}  // namespace
