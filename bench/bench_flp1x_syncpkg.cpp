// Parsing and storing one large FLP 1.x sync package (200 feeds x 100
// entries), against a floor measured in the same run: xmllint --stream
// --noout over the same file, plus as many rows (channels and items)
// inserted into SQLite in one transaction, with the store's settings (WAL,
// synchronous=FULL).
//
//   bench_flp1x_syncpkg                       run the benchmarks
//   bench_flp1x_syncpkg --write-package=FILE  write the package and exit
//
// Counters: doc_MB the package size; tree_x_doc the heap the element tree
// holds after the parse, over the document's size; floor_ms the floor (each
// part the best of three runs); x_floor the benchmark's mean time over the
// floor; xmllint_x the parse's mean time over xmllint's.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "Flp1xLargePackage.h"
#include "Flp1xPlatformWrapper.h"
#include "Model.h"
#include "SyncPkg.h"
#include "platform/ContentCache.h"
#include "platform/Log.h"
#include "platform/Settings.h"

namespace {

constexpr int kFeeds = 200;
constexpr int kEntries = 100;

struct Fixture {
  std::string dir;
  std::string file;
  std::string package;
  double xmllintMs = 0;
  double sqliteMs = 0;

  Fixture() {
    char pattern[] = "/tmp/qv-bench-flp1x-XXXXXX";
    char* made = mkdtemp(pattern);
    dir = made != nullptr ? made : "/tmp";
    file = dir + "/large-sync-pkg.xml";
    package = flp1xbench::largeSyncPkg(kFeeds, kEntries);
    std::ofstream(file, std::ios::binary) << package;
    static FILE* sink = std::fopen("/dev/null", "w");
    librunlog_to_module_ptr = sink;
    measureFloor();
  }
  ~Fixture() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }

  double floorMs() const { return xmllintMs + sqliteMs; }

  // The best of three runs of each part, so that a busy moment of the
  // machine does not lower the bar.
  void measureFloor() {
    xmllintMs = 1e12;
    sqliteMs = 1e12;
    for (int run = 0; run < 3; ++run) {
      xmllintMs = std::min(xmllintMs, timeXmllint());
      sqliteMs = std::min(sqliteMs, timeSqlite(run));
    }
  }

  double timeXmllint() {
    const std::string command = "xmllint --stream --noout '" + file + "'";
    auto t0 = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "xmllint failed on %s\n", file.c_str());
    auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::milli>(t1 - t0).count();
  }

  double timeSqlite(int run) {
    const std::string dbPath = dir + "/floor-" + std::to_string(run) + ".db";
    sqlite3* raw = nullptr;
    sqlite3_open(dbPath.c_str(), &raw);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, &sqlite3_close);
    sqlite3_exec(raw, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
                 "CREATE TABLE rows (id TEXT PRIMARY KEY, title TEXT, summary TEXT, fields TEXT, saved_at INTEGER)",
                 nullptr, nullptr, nullptr);
    const std::string fields(300, 'f');
    auto t0 = std::chrono::steady_clock::now();
    sqlite3_exec(raw, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(raw, "INSERT INTO rows VALUES (?1, ?2, ?3, ?4, ?5)", -1, &s, nullptr);
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(s, &sqlite3_finalize);
    const int rows = kFeeds * (kEntries + 1);
    for (int i = 0; i < rows; ++i) {
      const std::string id = "row-" + std::to_string(i);
      sqlite3_bind_text(s, 1, id.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(s, 2, "Feed 12, story 34: markets move and the weather turns", -1, SQLITE_STATIC);
      sqlite3_bind_text(s, 3, "Summary of story 34 in feed 12, long enough to look like a teaser line.", -1,
                        SQLITE_STATIC);
      sqlite3_bind_text(s, 4, fields.c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_int64(s, 5, 1767225600);
      sqlite3_step(s);
      sqlite3_reset(s);
    }
    sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr);
    auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::milli>(t1 - t0).count();
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void reportAgainstFloor(benchmark::State& state, double totalMs) {
  const Fixture& f = fixture();
  state.counters["floor_ms"] = f.floorMs();
  state.counters["x_floor"] = totalMs / static_cast<double>(state.iterations()) / f.floorMs();
}

void BM_Flp1xFloor(benchmark::State& state) {
  const Fixture& f = fixture();
  for (auto _ : state) benchmark::DoNotOptimize(f.floorMs());
  state.counters["xmllint_ms"] = f.xmllintMs;
  state.counters["sqlite_ms"] = f.sqliteMs;
  state.counters["floor_ms"] = f.floorMs();
  state.counters["doc_MB"] = static_cast<double>(f.package.size()) / 1e6;
}

void BM_Flp1xParse(benchmark::State& state) {
  const Fixture& f = fixture();
  double totalMs = 0;
  double treeBytes = 0;
  for (auto _ : state) {
    const size_t before = mallinfo2().uordblks;
    auto t0 = std::chrono::steady_clock::now();
    std::unique_ptr<SyncPkg> pkg(new SyncPkg);
    if (!pkg->parse(f.package)) state.SkipWithError("the package did not parse");
    auto t1 = std::chrono::steady_clock::now();
    totalMs += std::chrono::duration<double, std::milli>(t1 - t0).count();
    treeBytes = static_cast<double>(mallinfo2().uordblks - before);
    benchmark::DoNotOptimize(pkg.get());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.package.size()));
  state.counters["doc_MB"] = static_cast<double>(f.package.size()) / 1e6;
  state.counters["tree_x_doc"] = treeBytes / static_cast<double>(f.package.size());
  state.counters["xmllint_x"] = totalMs / static_cast<double>(state.iterations()) / f.xmllintMs;
}

void BM_Flp1xParseAndStore(benchmark::State& state) {
  const Fixture& f = fixture();
  double totalMs = 0;
  int run = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::string home = f.dir + "/home-" + std::to_string(run++);
    setenv("QUORVEL_HOME", home.c_str(), 1);
    ModelFacade::resetForTesting();
    Flp1xPlatformWrapper::resetForTesting();
    NR_ContentCache::resetForTesting();
    QuorvelSettingMgr::resetForTesting();
    // Opening the stores is start-up work, not part of a sync.
    Flp1xPlatformWrapper::getInstance();
    NR_ContentCache::getInstance();
    state.ResumeTiming();

    auto t0 = std::chrono::steady_clock::now();
    SyncPkg pkg;
    if (!pkg.parse(f.package) || !ModelFacade::store(pkg)) state.SkipWithError("the package was not stored");
    auto t1 = std::chrono::steady_clock::now();
    totalMs += std::chrono::duration<double, std::milli>(t1 - t0).count();
  }
  state.counters["items"] = kFeeds * kEntries;
  reportAgainstFloor(state, totalMs);
}

BENCHMARK(BM_Flp1xFloor)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Flp1xParse)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Flp1xParseAndStore)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  const char kWrite[] = "--write-package=";
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], kWrite, sizeof kWrite - 1) == 0) {
      std::ofstream out(argv[i] + sizeof kWrite - 1, std::ios::binary);
      out << flp1xbench::largeSyncPkg(kFeeds, kEntries);
      return out ? 0 : 1;
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
