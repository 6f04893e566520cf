// Reachability, housekeeping, usage and the free-space floor of the content
// cache. The references live in the store (table refs, written beside each
// object by ContentCache.cpp), so finding what is live is one recursive
// query and never decodes an object.
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>

#include "ContentCacheRefs.h"
#include "platform/Log.h"
#include "platform/Settings.h"

namespace qvcache {

namespace {

void addAssets(const NewsObject::MediaMap& map, std::vector<Ref>& out) {
  for (const auto& entry : map) {
    if (!entry.second.assetId.empty()) out.emplace_back(kAsset, entry.second.assetId);
  }
}

void addCommon(const NewsObject& o, std::vector<Ref>& out) {
  if (!o.getTemplateId().empty()) out.emplace_back(kAsset, o.getTemplateId());
  addAssets(o.getMediaMap(), out);
  addAssets(o.getExcerptMap(), out);
  addAssets(o.getContentMap(), out);
}

}  // namespace

std::vector<Ref> referencesOf(const Container& container) {
  std::vector<Ref> out;
  for (const qvTypes::ID& id : container.getChannelIds()) out.emplace_back(kChannel, id);
  return out;
}

std::vector<Ref> referencesOf(const Channel& channel) {
  std::vector<Ref> out;
  for (const qvTypes::ID& id : channel.getItemIds()) out.emplace_back(kItem, id);
  if (!channel.getEntryTemplateId().empty()) out.emplace_back(kAsset, channel.getEntryTemplateId());
  addCommon(channel, out);
  return out;
}

std::vector<Ref> referencesOf(const Item& item) {
  std::vector<Ref> out;
  addCommon(item, out);
  return out;
}

bool dropReferences(qvsql::Database& db, const char* kind, const std::string& id) {
  qvsql::Statement del = db.prepareCached("DELETE FROM refs WHERE from_kind = ?1 AND from_id = ?2");
  del.bind(1, std::string(kind)).bind(2, id);
  return del.run();
}

bool writeReferences(qvsql::Database& db, const char* kind, const std::string& id, const std::vector<Ref>& refs) {
  if (!dropReferences(db, kind, id)) return false;
  for (const Ref& ref : refs) {
    qvsql::Statement ins = db.prepareCached(
        "INSERT OR IGNORE INTO refs (from_kind, from_id, to_kind, to_id) VALUES (?1, ?2, ?3, ?4)");
    ins.bind(1, std::string(kind)).bind(2, id).bind(3, std::string(ref.first)).bind(4, ref.second);
    if (!ins.run()) return false;
  }
  return true;
}

long long fileStamp(const struct stat& st) {
  return static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
}

bool stampAsset(qvsql::Database& db, const std::string& id, const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return true;  // nothing to stamp; sync drops the row
  qvsql::Statement upd = db.prepareCached("UPDATE assets SET mtime_ns = ?1 WHERE id = ?2");
  upd.bind(1, fileStamp(st)).bind(2, id);
  return upd.run();
}

namespace {

std::atomic<void (*)(const char*)> gProbe{nullptr};

void probe(const char* stage) {
  if (auto p = gProbe.load()) p(stage);
}

// The live set is rebuilt each time and small (tens of bytes an object): it
// stays in memory rather than in a temporary file. Only possible outside a
// transaction; without it the table is merely slower.
void keepTempInMemory(qvsql::Database& db) {
  std::string current;
  if (db.queryText("PRAGMA temp_store", current) && current != "2") db.exec("PRAGMA temp_store = MEMORY");
}

// Fills the connection's temporary table hk_live with every (kind, id)
// reachable from a stored container. UNION drops repeats, so a cycle of
// references ends the walk.
bool fillLive(qvsql::Database& db) {
  return db.exec(
      "CREATE TEMP TABLE IF NOT EXISTS hk_live (kind TEXT NOT NULL, id TEXT NOT NULL, PRIMARY KEY (kind, id))"
      " WITHOUT ROWID;"
      "DELETE FROM temp.hk_live;"
      "INSERT INTO temp.hk_live (kind, id)"
      " WITH RECURSIVE live(kind, id) AS ("
      "  SELECT 'container', id FROM main.containers"
      "  UNION SELECT r.to_kind, r.to_id FROM main.refs r JOIN live l ON r.from_kind = l.kind AND r.from_id = l.id)"
      " SELECT kind, id FROM live;");
}

constexpr const char* kUnreachableItems =
    "SELECT id FROM main.items WHERE NOT EXISTS"
    " (SELECT 1 FROM temp.hk_live l WHERE l.kind = 'item' AND l.id = items.id)";
constexpr const char* kUnreachableAssets =
    "SELECT id FROM main.assets WHERE NOT EXISTS"
    " (SELECT 1 FROM temp.hk_live l WHERE l.kind = 'asset' AND l.id = assets.id)";

struct Doomed {
  std::string id;
  std::string file;
  long long stamp = 0;
};

// Phase one, one transaction: bring the candidates up to date and delete
// the rows of the expired ones. The files to unlink are returned.
bool deleteExpiredRows(qvsql::Database& db, long long now, long long grace, std::vector<qvTypes::ID>& items,
                       std::vector<Doomed>& assets) {
  qvsql::Transaction tx(db);
  if (!tx.active()) return false;
  if (!fillLive(db)) return false;
  const std::string nowText = std::to_string(now);
  const std::string update =
      "DELETE FROM orphans WHERE EXISTS (SELECT 1 FROM temp.hk_live l WHERE l.kind = orphans.kind AND l.id = "
      "orphans.id)"
      " OR (kind = 'item' AND id NOT IN (SELECT id FROM main.items))"
      " OR (kind = 'asset' AND id NOT IN (SELECT id FROM main.assets));"
      "INSERT OR IGNORE INTO orphans (kind, id, since) SELECT 'item', id, " + nowText + " FROM (" +
      kUnreachableItems + ");"
      "INSERT OR IGNORE INTO orphans (kind, id, since) SELECT 'asset', id, " + nowText + " FROM (" +
      kUnreachableAssets + ");";
  if (!db.exec(update.c_str())) return false;
  {
    qvsql::Statement stmt = db.prepare(
        "SELECT o.kind, o.id, a.file, a.mtime_ns FROM orphans o LEFT JOIN assets a ON o.kind = 'asset' AND a.id = o.id"
        " WHERE o.since <= ?1 ORDER BY o.kind, o.id");
    stmt.bind(1, now - grace);
    while (stmt.next()) {
      if (stmt.text(0) == kItem) {
        items.push_back(stmt.text(1));
      } else {
        assets.push_back(Doomed{stmt.text(1), stmt.text(2), stmt.integer(3)});
      }
    }
    if (stmt.failed()) return false;
  }
  for (const qvTypes::ID& id : items) {
    qvsql::Statement del = db.prepareCached("DELETE FROM items WHERE id = ?1");
    del.bind(1, id);
    if (!del.run() || !dropReferences(db, kItem, id)) return false;
  }
  for (const Doomed& asset : assets) {
    qvsql::Statement del = db.prepareCached("DELETE FROM assets WHERE id = ?1");
    del.bind(1, asset.id);
    if (!del.run()) return false;
  }
  {
    qvsql::Statement del = db.prepare("DELETE FROM orphans WHERE since <= ?1");
    del.bind(1, now - grace);
    if (!del.run()) return false;
  }
  probe("rows-deleted");
  return tx.commit();
}

// Unlinks the file of a removed asset unless a row names it again or it is
// no longer the file that was removed; true when it was unlinked.
bool unlinkIfStillGone(qvsql::Database& db, const std::string& assetsDir, const Doomed& asset) {
  if (asset.file.empty() || asset.file != NR_ContentCache::assetFileName(asset.id)) return false;
  qvsql::Statement again = db.prepareCached("SELECT 1 FROM assets WHERE file = ?1");
  again.bind(1, asset.file);
  if (again.next() || again.failed()) return false;
  const std::string path = assetsDir + "/" + asset.file;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !stampMatches(asset.stamp, st)) return false;
  return ::unlink(path.c_str()) == 0;
}

// Phase two: unlink the files of the deleted rows. Inside write
// transactions, so no other process can put a new version of one of these
// assets in place meanwhile; a file that has a row again, or is not the one
// deleted (another stamp), stays. A few hundred files a transaction, so that
// a writer of another process never waits long.
void unlinkFiles(qvsql::Database& db, const std::string& assetsDir, const std::vector<Doomed>& assets) {
  constexpr std::size_t kFilesPerTransaction = 256;
  bool first = true;
  for (std::size_t start = 0; start < assets.size(); start += kFilesPerTransaction) {
    qvsql::Transaction tx(db);
    if (!tx.active()) return;  // sync removes the rest at the next start
    const std::size_t end = std::min(assets.size(), start + kFilesPerTransaction);
    for (std::size_t i = start; i < end; ++i) {
      if (unlinkIfStillGone(db, assetsDir, assets[i]) && first) {
        probe("file-unlinked");
        first = false;
      }
    }
    tx.commit();
  }
}

// One log line per bad value of a setting, not one per read.
void logBadSettingOnce(const std::string& name, long long value, long long used) {
  static std::mutex lock;
  static std::set<std::pair<std::string, long long>> logged;
  std::lock_guard<std::mutex> guard(lock);
  if (!logged.insert({name, value}).second) return;
  QV_LOG(3, "The setting %s is %lld, which is not sane; using %lld\n", name.c_str(), value, used);
}

constexpr int kStorageCategory = 7;  // "QVCore.Storage"
constexpr long long kDefaultGrace = 604800;
constexpr long kDefaultMinFreeKb = 10240;

}  // namespace

}  // namespace qvcache

void NR_ContentCache::setHousekeepingProbeForTesting(void (*probe)(const char* stage)) { qvcache::gProbe = probe; }

int NR_ContentCache::housekeep(long long graceSeconds) {
  if (graceSeconds < 0) {
    QV_LOG(3, "Refusing housekeeping with a negative grace of %lld s\n", graceSeconds);
    return 1;
  }
  qvcache::StoreAccess store = qvcache::accessOf(*mImpl);
  std::lock_guard<std::mutex> guard(*store.lock);
  if (*store.batchDepth > 0) {
    QV_LOG(3, "Housekeeping of the content cache refused inside a batch of writes\n");
    return 1;
  }
  qvcache::keepTempInMemory(*store.db);
  std::vector<qvTypes::ID> items;
  std::vector<qvcache::Doomed> assets;
  const long long now = static_cast<long long>(std::time(nullptr));
  if (!qvcache::deleteExpiredRows(*store.db, now, graceSeconds, items, assets)) {
    QV_LOG(3, "Housekeeping of the content cache failed; nothing was removed\n");
    return 1;
  }
  qvcache::probe("committed");
  qvcache::unlinkFiles(*store.db, store.assetsDir, assets);
  QV_LOG(7, "Housekeeping removed %zu unreachable items and %zu unreachable assets (grace %lld s)\n", items.size(),
         assets.size(), graceSeconds);
  return 0;
}

int NR_ContentCache::housekeep() { return housekeep(orphanGraceSeconds()); }

int NR_ContentCache::usage(Usage& out) {
  out = Usage();
  {
    qvcache::StoreAccess store = qvcache::accessOf(*mImpl);
    std::lock_guard<std::mutex> guard(*store.lock);
    qvsql::Database& db = *store.db;
    qvcache::keepTempInMemory(db);
    // A read transaction, so that the live set and the counts agree.
    if (!db.exec("BEGIN")) return 1;
    bool ok = qvcache::fillLive(db);
    auto sums = [&](const char* sql, long long& liveCount, long long& liveBytes, long long& deadCount,
                    long long& deadBytes) {
      qvsql::Statement stmt = db.prepare(sql);
      while (stmt.next()) {
        if (stmt.integer(0) != 0) {
          liveCount = stmt.integer(1);
          liveBytes = stmt.integer(2);
        } else {
          deadCount = stmt.integer(1);
          deadBytes = stmt.integer(2);
        }
      }
      return !stmt.failed();
    };
    ok = ok && sums("SELECT EXISTS (SELECT 1 FROM temp.hk_live l WHERE l.kind = 'item' AND l.id = i.id) AS live,"
                    " count(*), coalesce(sum(length(CAST(i.id AS BLOB)) + length(CAST(i.title AS BLOB)) +"
                    " length(CAST(i.summary AS BLOB)) + length(CAST(i.fields AS BLOB))), 0)"
                    " FROM main.items i GROUP BY live",
                    out.liveItems, out.liveItemBytes, out.unreachableItems, out.unreachableItemBytes);
    ok = ok && sums("SELECT EXISTS (SELECT 1 FROM temp.hk_live l WHERE l.kind = 'asset' AND l.id = a.id) AS live,"
                    " count(*), coalesce(sum(a.size), 0) FROM main.assets a GROUP BY live",
                    out.liveAssets, out.liveAssetBytes, out.unreachableAssets, out.unreachableAssetBytes);
    if (ok) {
      qvsql::Statement oldest = db.prepare(
          "SELECT count(*), min(o.since) FROM orphans o WHERE NOT EXISTS"
          " (SELECT 1 FROM temp.hk_live l WHERE l.kind = o.kind AND l.id = o.id)"
          " AND ((o.kind = 'item' AND o.id IN (SELECT id FROM main.items))"
          "  OR (o.kind = 'asset' AND o.id IN (SELECT id FROM main.assets)))");
      if (oldest.next() && oldest.integer(0) > 0) {
        long long age = static_cast<long long>(std::time(nullptr)) - oldest.integer(1);
        out.oldestUnreachableSeconds = age < 0 ? 0 : age;
      }
      ok = !oldest.failed();
    }
    db.exec("COMMIT");
    if (!ok) return 1;
  }
  out.freeKb = cacheRemaining();
  return 0;
}

long long NR_ContentCache::orphanGraceSeconds() {
  QuorvelSettingMgr* mgr = QuorvelSettingMgr::getSettingMgrInstance();
  int value = static_cast<int>(qvcache::kDefaultGrace);
  if (mgr == nullptr || mgr->getInt(qvcache::kStorageCategory, "OrphanGraceSeconds", value) != 0) {
    return qvcache::kDefaultGrace;
  }
  if (value < 0) {
    // Never "at once": a mistyped sign must not empty the cache.
    qvcache::logBadSettingOnce("QVCore.Storage.OrphanGraceSeconds", value, qvcache::kDefaultGrace);
    return qvcache::kDefaultGrace;
  }
  return value;
}

long NR_ContentCache::minFreeKb() {
  QuorvelSettingMgr* mgr = QuorvelSettingMgr::getSettingMgrInstance();
  int value = static_cast<int>(qvcache::kDefaultMinFreeKb);
  if (mgr == nullptr || mgr->getInt(qvcache::kStorageCategory, "MinFreeKB", value) != 0) {
    value = static_cast<int>(qvcache::kDefaultMinFreeKb);
  }
  if (value < 0) {
    qvcache::logBadSettingOnce("QVCore.Storage.MinFreeKB", value, 0);
    return 0;
  }
  // A floor past half the file system would stop every download for good.
  struct statvfs st;
  const std::string home = qvcache::accessOf(*mImpl).home;
  if (::statvfs(home.c_str(), &st) == 0) {
    const long long halfKb =
        static_cast<long long>(static_cast<unsigned long long>(st.f_blocks) * st.f_frsize / 1024 / 2);
    if (value > halfKb) {
      qvcache::logBadSettingOnce("QVCore.Storage.MinFreeKB", value, halfKb);
      return static_cast<long>(halfKb);
    }
  }
  return value;
}

int NR_ContentCache::checkAssetSpace() {
  const long floorKb = minFreeKb();
  long freeKb = cacheRemaining();
  if (freeKb < 0 || freeKb >= floorKb) return 0;  // unknown: getOutputStream still checks each asset
  housekeep();
  freeKb = cacheRemaining();
  if (freeKb < 0 || freeKb >= floorKb) return 0;
  QV_LOG(3, "Asset downloads skipped: %ld KB free, below the floor of %ld KB (QVCore.Storage.MinFreeKB)\n", freeKb,
         floorKb);
  return 1;
}
