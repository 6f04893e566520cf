// Batch scopes of the content cache: writes grouped into one transaction,
// invisible to other connections until the outermost commit, undone when a
// scope ends without commit, with nested scopes as savepoints.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>

#include "TempHome.h"
#include "platform/ContentCache.h"

namespace {

// Rows of a table as another process sees them (its own connection).
int rowsSeenElsewhere(const std::string& dbPath, const char* table) {
  sqlite3* raw = nullptr;
  if (sqlite3_open_v2(dbPath.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(raw);
    return -1;
  }
  std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, &sqlite3_close);
  sqlite3_stmt* stmt = nullptr;
  const std::string sql = std::string("SELECT COUNT(*) FROM ") + table;
  if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) return -1;
  std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> owned(stmt, &sqlite3_finalize);
  return sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int(stmt, 0) : -1;
}

bool has(NR_ContentCache& cache, const char* id) {
  Item item;
  return cache.get(id, item) == 0;
}

class ContentCacheBatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cache = NR_ContentCache::getInstance();
    ASSERT_NE(nullptr, cache);
  }
  void storeAsset(const char* id, const std::string& bytes) {
    std::ofstream* out = cache->getOutputStream(id, static_cast<long>(bytes.size()));
    ASSERT_NE(nullptr, out);
    out->write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_EQ(0, cache->closeOutputStream(id, out, "text/plain"));
  }
  TempHome home;
  NR_ContentCache* cache = nullptr;
};

TEST_F(ContentCacheBatchTest, CommitMakesTheWritesVisibleAtOnce) {
  const std::string db = home.file("cache.db");
  NR_ContentCache::BatchScope batch(*cache);
  ASSERT_TRUE(batch.active());
  for (int i = 0; i < 50; ++i) ASSERT_EQ(0, cache->save("i" + std::to_string(i), Item("i" + std::to_string(i))));
  ASSERT_EQ(0, cache->save("c1", Channel("c1")));
  EXPECT_TRUE(has(*cache, "i7"));                // this connection reads its own writes
  EXPECT_EQ(0, rowsSeenElsewhere(db, "items"));  // nobody else does yet
  EXPECT_EQ(0, batch.commit());
  EXPECT_EQ(50, rowsSeenElsewhere(db, "items"));
  EXPECT_EQ(1, rowsSeenElsewhere(db, "channels"));
  EXPECT_NE(0, batch.commit());  // only once
}

TEST_F(ContentCacheBatchTest, AScopeEndingWithoutCommitUndoesEverything) {
  ASSERT_EQ(0, cache->save("kept", Item("kept")));
  {
    NR_ContentCache::BatchScope batch(*cache);
    ASSERT_EQ(0, cache->save("gone", Item("gone")));
    Item kept;
    ASSERT_EQ(0, cache->remove("kept", kept));
    Container c;
    c.addChannelId("x");
    ASSERT_EQ(0, cache->save("container1", c));
  }
  EXPECT_TRUE(has(*cache, "kept"));
  EXPECT_FALSE(has(*cache, "gone"));
  Container c;
  EXPECT_NE(0, cache->get("container1", c));
  // The cache works normally afterwards.
  ASSERT_EQ(0, cache->save("after", Item("after")));
  EXPECT_EQ(2, rowsSeenElsewhere(home.file("cache.db"), "items"));
}

TEST_F(ContentCacheBatchTest, NestedScopesAreSavepoints) {
  NR_ContentCache::BatchScope outer(*cache);
  ASSERT_EQ(0, cache->save("a", Item("a")));
  {
    NR_ContentCache::BatchScope failed(*cache);
    ASSERT_TRUE(failed.active());
    ASSERT_EQ(0, cache->save("b", Item("b")));
    Item a;
    ASSERT_EQ(0, cache->remove("a", a));
  }  // rolled back: b never existed, a is back
  {
    NR_ContentCache::BatchScope good(*cache);
    ASSERT_EQ(0, cache->save("c", Item("c")));
    EXPECT_EQ(0, good.commit());
  }
  EXPECT_TRUE(has(*cache, "a"));
  EXPECT_FALSE(has(*cache, "b"));
  EXPECT_EQ(0, rowsSeenElsewhere(home.file("cache.db"), "items"));  // handed on, not committed
  EXPECT_EQ(0, outer.commit());
  EXPECT_TRUE(has(*cache, "c"));
  EXPECT_EQ(2, rowsSeenElsewhere(home.file("cache.db"), "items"));
}

TEST_F(ContentCacheBatchTest, AssetOperationsWorkInsideAScope) {
  storeAsset("old", "old bytes");
  {
    NR_ContentCache::BatchScope batch(*cache);
    storeAsset("new", "new bytes");
    ASSERT_EQ(0, cache->removeAsset("old"));
    EXPECT_EQ(0, batch.commit());
  }
  std::string path;
  EXPECT_EQ(0, cache->getPath("new", path));
  EXPECT_NE(0, cache->getPath("old", path));
  EXPECT_EQ(0, cache->sync());
  EXPECT_EQ(0, cache->getPath("new", path));
}

}  // namespace
