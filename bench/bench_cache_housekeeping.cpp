// Housekeeping of the content cache on a large store: 200 channels of 100
// items (20,000 items, each naming one asset of its own, plus a logo per
// channel), with a share of the items unreachable, the way a day of updates
// leaves them.
//
//   bench_cache_housekeeping
//
// BM_HousekeepingNothingToRemove: the common case after an update, every
// object live or still within its grace (the live set is walked, the
// candidates are noted, nothing is removed). BM_HousekeepingRemoves: grace
// 0 with 2,000 unreachable items and their 2,000 assets (rows and files)
// removed; the store is rebuilt outside the timing. Counters: items the
// size of the store, removed the items removed per run, rows_ms the first
// transaction (rows, write lock held), files_ms the unlinking after it. Housekeeping holds
// the cache's write lock for its first transaction, so a concurrent update
// of another process waits for it that long; in the same service it runs
// between updates and delays the next by the same time.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/ContentCache.h"
#include "platform/Settings.h"

namespace {

namespace fs = std::filesystem;

constexpr int kChannels = 200;
constexpr int kItemsPerChannel = 100;
constexpr int kUnreachablePerChannel = 10;

std::string gHome;
std::chrono::steady_clock::time_point gCommitted;

// The moment the rows are committed: the first transaction, which holds the
// write lock, ends there; only the unlinking of files follows.
void noteCommit(const char* stage) {
  if (std::strcmp(stage, "committed") == 0) gCommitted = std::chrono::steady_clock::now();
}

NR_ContentCache& openFreshStore() {
  NR_ContentCache::resetForTesting();
  QuorvelSettingMgr::resetForTesting();
  fs::remove_all(gHome);
  fs::create_directories(gHome);
  return *NR_ContentCache::getInstance();
}

void putAsset(NR_ContentCache& cache, const std::string& id) {
  const std::string bytes = "asset bytes of " + id;
  std::ofstream* out = cache.getOutputStream(id, static_cast<long>(bytes.size()));
  out->write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  cache.closeOutputStream(id, out, "image/png");
}

// The store described above. Every channel lists its first 90 items; the
// last 10 of each were dropped by it and are unreachable.
void buildStore(NR_ContentCache& cache) {
  NR_ContentCache::BatchScope batch(cache);
  Container container;
  for (int c = 0; c < kChannels; ++c) {
    const std::string channelId = "ch-" + std::to_string(c);
    Channel channel(channelId);
    NewsObject::Media logo;
    logo.assetId = "logo-" + channelId;
    channel.setMediaMap({{"image", logo}});
    for (int i = 0; i < kItemsPerChannel; ++i) {
      const std::string itemId = channelId + "-item-" + std::to_string(i);
      Item item(itemId);
      item.setTitle(L"A headline of moderate length for the benchmark");
      item.setSummary(L"A summary of a couple of sentences, as a news item would carry it on a phone.");
      NewsObject::Media image;
      image.assetId = "img-" + itemId;
      item.setMediaMap({{"image", image}});
      cache.save(itemId, item);
      if (i < kItemsPerChannel - kUnreachablePerChannel) channel.addItemId(itemId);
    }
    cache.save(channelId, channel);
    container.addChannelId(channelId);
  }
  cache.save("container1", container);
  for (int c = 0; c < kChannels; ++c) {
    const std::string channelId = "ch-" + std::to_string(c);
    putAsset(cache, "logo-" + channelId);
    for (int i = 0; i < kItemsPerChannel; ++i) putAsset(cache, "img-" + channelId + "-item-" + std::to_string(i));
  }
  batch.commit();
}

void BM_HousekeepingNothingToRemove(benchmark::State& state) {
  NR_ContentCache& cache = openFreshStore();
  buildStore(cache);
  for (auto _ : state) {
    if (cache.housekeep(7 * 24 * 3600) != 0) state.SkipWithError("housekeeping failed");
  }
  state.counters["items"] = kChannels * kItemsPerChannel;
}

void BM_HousekeepingRemoves(benchmark::State& state) {
  long long removed = 0;
  for (auto _ : state) {
    state.PauseTiming();
    NR_ContentCache& cache = openFreshStore();
    buildStore(cache);
    const size_t before = cache.listItemIds().size();
    NR_ContentCache::setHousekeepingProbeForTesting(&noteCommit);
    state.ResumeTiming();
    const auto begin = std::chrono::steady_clock::now();
    if (cache.housekeep(0) != 0) state.SkipWithError("housekeeping failed");
    const auto end = std::chrono::steady_clock::now();
    state.PauseTiming();
    NR_ContentCache::setHousekeepingProbeForTesting(nullptr);
    state.counters["rows_ms"] = std::chrono::duration<double, std::milli>(gCommitted - begin).count();
    state.counters["files_ms"] = std::chrono::duration<double, std::milli>(end - gCommitted).count();
    removed = static_cast<long long>(before - cache.listItemIds().size());
    state.ResumeTiming();
  }
  state.counters["items"] = kChannels * kItemsPerChannel;
  state.counters["removed"] = static_cast<double>(removed);
}

BENCHMARK(BM_HousekeepingNothingToRemove)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_HousekeepingRemoves)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  char pattern[] = "/tmp/qv-bench-hk-XXXXXX";
  const char* dir = mkdtemp(pattern);
  if (dir == nullptr) return 1;
  gHome = std::string(dir) + "/home";
  setenv("QUORVEL_HOME", gHome.c_str(), 1);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  NR_ContentCache::resetForTesting();
  QuorvelSettingMgr::resetForTesting();
  fs::remove_all(dir);
  return 0;
}
