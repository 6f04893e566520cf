// Housekeeping of the content cache: what is reachable from a container
// stays, what is not goes once its grace has run out, a crash at any point
// of it leaves a sound store, a store of the previous schema is upgraded,
// sync notices asset files changed behind the cache's back, and the
// settings of housekeeping are read sanely whatever they hold.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "RecordingFacade.h"
#include "TempHome.h"
#include "platform/ContentCache.h"
#include "platform/Log.h"
#include "platform/Settings.h"

namespace {

namespace fs = std::filesystem;
using Names = std::set<std::string>;

NewsObject::Media media(const qvTypes::ID& assetId) {
  NewsObject::Media m;
  m.assetId = assetId;
  m.mimeType = "image/png";
  return m;
}

class HousekeepingTest : public ::testing::Test {
 protected:
  NR_ContentCache& cache() { return *NR_ContentCache::getInstance(); }
  // The QUORVEL_HOME in force (a test may switch to a home of its own).
  static std::string dir() { return std::getenv("QUORVEL_HOME"); }

  void putAsset(const qvTypes::ID& id, const std::string& bytes = "data") {
    std::ofstream* out = cache().getOutputStream(id, static_cast<long>(bytes.size()));
    ASSERT_NE(nullptr, out);
    out->write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_EQ(0, cache().closeOutputStream(id, out, "text/plain"));
  }
  void putItem(const qvTypes::ID& id, const std::vector<qvTypes::ID>& assets) {
    Item item(id);
    NewsObject::MediaMap map;
    for (const qvTypes::ID& a : assets) map["m-" + a] = media(a);
    item.setMediaMap(map);
    ASSERT_EQ(0, cache().save(id, item));
  }
  void putChannel(const qvTypes::ID& id, const std::vector<qvTypes::ID>& items, const qvTypes::ID& logo = "",
                  const qvTypes::ID& entryTemplate = "") {
    Channel channel(id);
    channel.setItemIds(items);
    if (!logo.empty()) channel.setMediaMap({{"image", media(logo)}});
    channel.setEntryTemplateId(entryTemplate);
    ASSERT_EQ(0, cache().save(id, channel));
  }
  void putContainer(const std::vector<qvTypes::ID>& channels) {
    Container c;
    c.setChannelIds(channels);
    ASSERT_EQ(0, cache().save("container1", c));
  }

  Names items() {
    std::vector<qvTypes::ID> ids = cache().listItemIds();
    return Names(ids.begin(), ids.end());
  }
  Names assets() {
    Names out;
    for (const auto& a : cache().listAssets()) out.insert(a.id);
    return out;
  }
  Names assetFiles() {
    Names out;
    for (const auto& e : fs::directory_iterator(dir() + "/assets")) out.insert(e.path().filename().string());
    return out;
  }
  std::string query(const std::string& sql) { return queryOne(dir() + "/cache.db", sql); }

  // The store of the tests below: container1 lists channels A and B.
  //   A: items a1, shared (each with its own image; "shared" also names
  //      img-common), logo logo-a, entry template tpl-a.
  //   B: items shared, b1; b1 names img-common too.
  //   X (stored, in no container): item x1 with img-x1.
  //   loose item "stray" with img-stray; asset "lonely" named by nothing.
  void buildStore() {
    for (const char* a : {"img-a1", "img-shared", "img-common", "img-b1", "img-x1", "img-stray", "logo-a", "tpl-a",
                          "lonely"}) {
      putAsset(a);
    }
    putItem("a1", {"img-a1"});
    putItem("shared", {"img-shared", "img-common"});
    putItem("b1", {"img-b1", "img-common"});
    putItem("x1", {"img-x1"});
    putItem("stray", {"img-stray"});
    putChannel("A", {"a1", "shared"}, "logo-a", "tpl-a");
    putChannel("B", {"shared", "b1"});
    putChannel("X", {"x1"});
    putContainer({"A", "B"});
  }

  TempHome home;
};

TEST_F(HousekeepingTest, RemovesExactlyWhatNoContainerReaches) {
  buildStore();
  ASSERT_EQ(0, cache().housekeep(0));
  EXPECT_EQ((Names{"a1", "shared", "b1"}), items());
  const Names live{"img-a1", "img-shared", "img-common", "img-b1", "logo-a", "tpl-a"};
  EXPECT_EQ(live, assets());
  EXPECT_EQ(live, assetFiles());
  Channel x;
  EXPECT_EQ(0, cache().get("X", x)) << "channels are never removed by housekeeping";

  // A drops "shared", which B still lists; a1 goes away, and with it its
  // image, while img-common stays for b1.
  putChannel("A", {"shared"}, "logo-a", "tpl-a");
  ASSERT_EQ(0, cache().remove("b1", Item()));
  putChannel("B", {"shared"});
  ASSERT_EQ(0, cache().housekeep(0));
  EXPECT_EQ((Names{"shared"}), items());
  EXPECT_EQ((Names{"img-shared", "img-common", "logo-a", "tpl-a"}), assets());
  EXPECT_EQ(assets(), assetFiles());
}

TEST_F(HousekeepingTest, GraceKeepsCandidatesAndForgetsThoseReachableAgain) {
  buildStore();
  ASSERT_EQ(0, cache().housekeep(3600));
  EXPECT_EQ((Names{"a1", "shared", "b1", "x1", "stray"}), items());
  EXPECT_EQ("3", query("SELECT count(*) FROM orphans WHERE kind = 'asset'"));  // img-x1, img-stray, lonely
  NR_ContentCache::Usage u;
  ASSERT_EQ(0, cache().usage(u));
  EXPECT_EQ(3, u.liveItems);
  EXPECT_EQ(2, u.unreachableItems);
  EXPECT_EQ(6, u.liveAssets);
  EXPECT_EQ(3, u.unreachableAssets);
  EXPECT_EQ(3 * 4, u.unreachableAssetBytes);
  EXPECT_GE(u.oldestUnreachableSeconds, 0);
  EXPECT_GT(u.freeKb, 0);

  // X is subscribed again within the grace: its item and image are live and
  // no longer candidates; even "at once" now leaves them.
  putContainer({"A", "B", "X"});
  ASSERT_EQ(0, cache().housekeep(0));
  EXPECT_EQ((Names{"a1", "shared", "b1", "x1"}), items());
  EXPECT_EQ(0u, assets().count("lonely"));
  EXPECT_EQ(1u, assets().count("img-x1"));
  EXPECT_EQ("0", query("SELECT count(*) FROM orphans"));
  ASSERT_EQ(0, cache().usage(u));
  EXPECT_EQ(0, u.unreachableItems + u.unreachableAssets);
  EXPECT_EQ(-1, u.oldestUnreachableSeconds);
}

TEST_F(HousekeepingTest, NeverInsideABatchAndNeverAnAssetBeingWritten) {
  buildStore();
  std::ofstream* writing = cache().getOutputStream("img-new", 3);
  ASSERT_NE(nullptr, writing);
  *writing << "new";
  {
    NR_ContentCache::BatchScope batch(cache());
    ASSERT_TRUE(batch.active());
    EXPECT_NE(0, cache().housekeep(0));
    EXPECT_NE(0, cache().housekeep(-1));
  }
  ASSERT_EQ(0, cache().housekeep(0));
  EXPECT_EQ(0, cache().closeOutputStream("img-new", writing, "text/plain"));
  std::string path;
  EXPECT_EQ(0, cache().getPath("img-new", path));
}

// A crash (SIGKILL) at each stage of housekeeping, then a restart: the store
// passes its check, every live asset has its file, and the next
// housekeeping finishes the work.
TEST_F(HousekeepingTest, CrashAtAnyStageLeavesASoundStore) {
  for (const char* stage : {"rows-deleted", "committed", "file-unlinked"}) {
    SCOPED_TRACE(stage);
    const std::string stageHome = home.file(stage);
    fs::create_directories(stageHome);
    setenv("QUORVEL_HOME", stageHome.c_str(), 1);
    TempHome::closeAll();
    buildStore();
    TempHome::closeAll();
    static std::string crashAt;
    crashAt = stage;
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      NR_ContentCache::setHousekeepingProbeForTesting([](const char* s) {
        if (crashAt == s) ::raise(SIGKILL);
      });
      NR_ContentCache* c = NR_ContentCache::getInstance();
      if (c != nullptr) c->housekeep(0);
      ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the probe was not reached";

    ASSERT_EQ(0, cache().sync());
    EXPECT_EQ("ok", query("PRAGMA integrity_check"));
    for (const char* live : {"img-a1", "img-shared", "img-common", "img-b1", "logo-a", "tpl-a"}) {
      std::string path;
      EXPECT_EQ(0, cache().getPath(live, path)) << live;
    }
    EXPECT_EQ(assets(), assetFiles());
    ASSERT_EQ(0, cache().housekeep(0));
    EXPECT_EQ((Names{"a1", "shared", "b1"}), items());
    EXPECT_EQ((Names{"img-a1", "img-shared", "img-common", "img-b1", "logo-a", "tpl-a"}), assetFiles());
    EXPECT_EQ(assets(), assetFiles());
  }
}

// A cache.db written before references were kept: version 1, no refs,
// orphans or stamps. Opening it builds the references from the objects.
TEST_F(HousekeepingTest, StoreOfThePreviousSchemaIsUpgradedAtOpen) {
  {
    sqlite3* raw = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(home.file("cache.db").c_str(), &raw));
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, &sqlite3_close);
    const char* v1 =
        "CREATE TABLE containers (id TEXT PRIMARY KEY NOT NULL, channel_ids TEXT NOT NULL, saved_at INTEGER NOT NULL);"
        "CREATE TABLE channels (id TEXT PRIMARY KEY NOT NULL, title TEXT NOT NULL, summary TEXT NOT NULL,"
        " fields TEXT NOT NULL, saved_at INTEGER NOT NULL);"
        "CREATE TABLE items (id TEXT PRIMARY KEY NOT NULL, title TEXT NOT NULL, summary TEXT NOT NULL,"
        " fields TEXT NOT NULL, saved_at INTEGER NOT NULL);"
        "CREATE TABLE assets (id TEXT PRIMARY KEY NOT NULL, mime TEXT NOT NULL, size INTEGER NOT NULL,"
        " file TEXT NOT NULL UNIQUE, saved_at INTEGER NOT NULL);"
        "PRAGMA user_version = 1;"
        "INSERT INTO containers VALUES ('container1', '[\"A\"]', 1);"
        "INSERT INTO channels VALUES ('A', 'A', '', '{\"id\":\"A\",\"itemIds\":[\"a1\"],\"templateId\":\"tpl\"}', 1);"
        "INSERT INTO channels VALUES ('gone', 'gone', '', '{\"id\":\"gone\",\"itemIds\":[\"g1\"]}', 1);"
        "INSERT INTO items VALUES ('a1', 'a1', '', '{\"id\":\"a1\",\"excerpt\":{\"x\":{\"assetId\":\"ex-a1\"}}}', 1);"
        "INSERT INTO items VALUES ('g1', 'g1', '', '{\"id\":\"g1\",\"media\":{\"image\":{\"assetId\":\"img-g1\"}}}', 1);"
        "INSERT INTO assets VALUES ('tpl', 'text/plain', 1, 'tpl', 1);"
        "INSERT INTO assets VALUES ('ex-a1', 'text/plain', 1, 'ex-a1', 1);"
        "INSERT INTO assets VALUES ('img-g1', 'text/plain', 1, 'img-g1', 1);";
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db.get(), v1, nullptr, nullptr, nullptr)) << sqlite3_errmsg(db.get());
  }
  fs::create_directories(home.file("assets"));
  for (const char* f : {"tpl", "ex-a1", "img-g1"}) std::ofstream(home.file("assets/") + f) << "x";

  Item a1;
  ASSERT_EQ(0, cache().get("a1", a1));
  EXPECT_EQ("2", query("PRAGMA user_version"));
  // container1>A, A>a1, A>tpl, a1>ex-a1, gone>g1, g1>img-g1
  EXPECT_EQ("6", query("SELECT count(*) FROM refs"));
  ASSERT_EQ(0, cache().sync());
  ASSERT_EQ(0, cache().housekeep(0));
  EXPECT_EQ((Names{"a1"}), items());
  EXPECT_EQ((Names{"tpl", "ex-a1"}), assetFiles());

  // g1 went with its references; opening the store again changes nothing.
  TempHome::closeAll();
  EXPECT_EQ("5", query("SELECT count(*) FROM refs"));
  ASSERT_EQ(0, cache().housekeep(0));
  EXPECT_EQ((Names{"tpl", "ex-a1"}), assets());
}

// An asset file changed (same size) or removed behind the cache's back: sync
// drops its row, so that the asset is fetched again.
TEST_F(HousekeepingTest, SyncNoticesAssetFilesChangedBehindItsBack) {
  putAsset("kept", "kept");
  putAsset("changed", "abcd");
  putAsset("removed", "gone");
  std::string changed;
  ASSERT_EQ(0, cache().getPath("changed", changed));
  struct stat before;
  ASSERT_EQ(0, ::stat(changed.c_str(), &before));
  std::ofstream(changed, std::ios::binary | std::ios::trunc) << "wxyz";
  // Whatever the clock's resolution: another modification time.
  struct timespec times[2] = {before.st_atim, before.st_mtim};
  times[1].tv_sec -= 10;
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, changed.c_str(), times, 0));
  std::string removed;
  ASSERT_EQ(0, cache().getPath("removed", removed));
  ASSERT_EQ(0, ::unlink(removed.c_str()));

  TempHome::closeAll();
  ASSERT_EQ(0, cache().sync());
  EXPECT_EQ((Names{"kept"}), assets());
  EXPECT_EQ((Names{"kept"}), assetFiles());
}

int countOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST_F(HousekeepingTest, SettingsAreReadAsTheNearestSaneValue) {
  struct statvfs st;
  ASSERT_EQ(0, ::statvfs(home.path().c_str(), &st));
  const long halfDiskKb = static_cast<long>(static_cast<unsigned long long>(st.f_blocks) * st.f_frsize / 1024 / 2);
  struct Case {
    const char* key;
    bool set;
    int stored;
    long long expected;
    bool logged;
  };
  const Case cases[] = {
      {"OrphanGraceSeconds", false, 0, 604800, false},  // the default
      {"OrphanGraceSeconds", true, 0, 0, false},
      {"OrphanGraceSeconds", true, 86400, 86400, false},
      {"OrphanGraceSeconds", true, -1, 604800, true},  // never "at once"
      {"OrphanGraceSeconds", true, INT_MIN, 604800, true},
      {"MinFreeKB", false, 0, 10240, false},
      {"MinFreeKB", true, 20000, 20000, false},
      {"MinFreeKB", true, -5, 0, true},
      {"MinFreeKB", true, INT_MAX, halfDiskKb, true},  // larger than the disk
  };
  QuorvelSettingMgr* mgr = QuorvelSettingMgr::getSettingMgrInstance();
  ASSERT_NE(nullptr, mgr);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " " + (c.set ? std::to_string(c.stored) : "unset"));
    if (c.set) {
      ASSERT_EQ(0, mgr->setInt(7, c.key, c.stored));
    } else {
      mgr->remove(7, c.key);
    }
    LogCapture log;
    for (int read = 0; read < 3; ++read) {
      long long got = std::string(c.key) == "MinFreeKB" ? cache().minFreeKb() : NR_ContentCache::orphanGraceSeconds();
      EXPECT_EQ(c.expected, got);
    }
    EXPECT_EQ(c.logged ? 1 : 0, countOf(log.text(), "QVCore.Storage." + std::string(c.key))) << log.text();
  }
}

TEST_F(HousekeepingTest, FreeSpaceFloorRunsHousekeepingThenRefuses) {
  buildStore();
  QuorvelSettingMgr* mgr = QuorvelSettingMgr::getSettingMgrInstance();
  ASSERT_EQ(0, mgr->setInt(7, "OrphanGraceSeconds", 0));
  ASSERT_EQ(0, mgr->setInt(7, "MinFreeKB", 2048));

  setenv("QUORVEL_TEST_FREE_KB", "4096", 1);
  EXPECT_EQ(0, cache().checkAssetSpace());
  EXPECT_EQ(5u, items().size()) << "enough space: nothing is tidied";

  setenv("QUORVEL_TEST_FREE_KB", "1000", 1);
  LogCapture log;
  EXPECT_EQ(1, cache().checkAssetSpace());
  unsetenv("QUORVEL_TEST_FREE_KB");
  EXPECT_EQ((Names{"a1", "shared", "b1"}), items()) << "housekeeping ran first";
  EXPECT_NE(std::string::npos,
            log.text().find("Asset downloads skipped: 1000 KB free, below the floor of 2048 KB "
                            "(QVCore.Storage.MinFreeKB)"))
      << log.text();
}

}  // namespace
