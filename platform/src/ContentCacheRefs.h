// What the stored objects of the content cache name, kept in the store
// beside them (table "refs"), and the stamps that let sync notice an asset
// file changed behind the cache's back (column assets.mtime_ns).
//
// Threads: plain functions on a Database; the content cache calls them with
// its mutex held, inside the write transaction of the object they concern.
#pragma once

#include <sys/stat.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Sqlite.h"
#include "platform/ContentCache.h"

namespace qvcache {

// Kinds as stored in the refs and orphans tables.
constexpr const char* kContainer = "container";
constexpr const char* kChannel = "channel";
constexpr const char* kItem = "item";
constexpr const char* kAsset = "asset";

// Schema version 2: the references, the candidates of housekeeping and the
// stamp of each asset file. Run once on a version 1 store (see upgrade).
constexpr int kSchemaVersion = 2;
constexpr const char* kUpgradeToV2 =
    "CREATE TABLE IF NOT EXISTS refs ("
    " from_kind TEXT NOT NULL, from_id TEXT NOT NULL, to_kind TEXT NOT NULL, to_id TEXT NOT NULL,"
    " PRIMARY KEY (from_kind, from_id, to_kind, to_id)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS orphans ("
    " kind TEXT NOT NULL, id TEXT NOT NULL, since INTEGER NOT NULL, PRIMARY KEY (kind, id)) WITHOUT ROWID;"
    "ALTER TABLE assets ADD COLUMN mtime_ns INTEGER NOT NULL DEFAULT 0;";

using Ref = std::pair<const char*, std::string>;  // (kind, id)

std::vector<Ref> referencesOf(const Container& container);
std::vector<Ref> referencesOf(const Channel& channel);
std::vector<Ref> referencesOf(const Item& item);

// Replaces the references of (kind, id) with refs; false on a database
// failure (logged by the wrapper).
bool writeReferences(qvsql::Database& db, const char* kind, const std::string& id, const std::vector<Ref>& refs);
bool dropReferences(qvsql::Database& db, const char* kind, const std::string& id);

// The stamp of a file: its modification time in nanoseconds.
long long fileStamp(const struct stat& st);
// Records the stamp of the file at path on asset id's row.
bool stampAsset(qvsql::Database& db, const std::string& id, const std::string& path);
// Whether a file still is what the row recorded (0: stored before stamps
// were kept, taken as matching).
inline bool stampMatches(long long stored, const struct stat& st) { return stored == 0 || stored == fileStamp(st); }

// The parts of an open cache that housekeeping works on. The pointers stay
// valid as long as the cache; lock guards the database and batchDepth.
struct StoreAccess {
  std::mutex* lock;
  qvsql::Database* db;
  const int* batchDepth;
  std::string home;
  std::string assetsDir;
};
StoreAccess accessOf(NR_ContentCache::Impl& impl);

}  // namespace qvcache
