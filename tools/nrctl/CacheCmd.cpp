// nrctl cache containers|channels|items|assets|usage [--json]
// Reads straight from the content cache (the daemons may run meanwhile).
#include <cstdio>
#include <sstream>

#include "Nrctl.h"
#include "platform/ContentCache.h"
#include "platform/Types.h"

namespace nrctl {
namespace {

std::string utf8(const qvTypes::String& text) { return MString::fromWide(text); }

std::string idList(const std::vector<qvTypes::ID>& ids) {
  std::string out = "[";
  for (size_t i = 0; i < ids.size(); ++i) out += (i ? "," : "") + jsonString(ids[i]);
  return out + "]";
}

std::string plainList(const std::vector<qvTypes::ID>& ids) {
  std::string out;
  for (size_t i = 0; i < ids.size(); ++i) out += (i ? " " : "") + ids[i];
  return out;
}

// Live and unreachable items and assets, with the oldest unreachable age
// and the free space.
int printUsage(NR_ContentCache& cache, bool json) {
  NR_ContentCache::Usage u;
  if (cache.usage(u) != 0) {
    std::fprintf(stderr, "nrctl: cannot read the usage of the content cache\n");
    return kExitError;
  }
  if (json) {
    std::printf(
        "{\"items\":{\"live\":{\"count\":%lld,\"bytes\":%lld},\"unreachable\":{\"count\":%lld,\"bytes\":%lld}},"
        "\"assets\":{\"live\":{\"count\":%lld,\"bytes\":%lld},\"unreachable\":{\"count\":%lld,\"bytes\":%lld}},"
        "\"oldestUnreachableSeconds\":%s,\"freeKB\":%s}\n",
        u.liveItems, u.liveItemBytes, u.unreachableItems, u.unreachableItemBytes, u.liveAssets, u.liveAssetBytes,
        u.unreachableAssets, u.unreachableAssetBytes,
        u.oldestUnreachableSeconds < 0 ? "null" : std::to_string(u.oldestUnreachableSeconds).c_str(),
        u.freeKb < 0 ? "null" : std::to_string(u.freeKb).c_str());
    return kExitOk;
  }
  std::printf("items   live %lld (%lld bytes)  unreachable %lld (%lld bytes)\n", u.liveItems, u.liveItemBytes,
              u.unreachableItems, u.unreachableItemBytes);
  std::printf("assets  live %lld (%lld bytes)  unreachable %lld (%lld bytes)\n", u.liveAssets, u.liveAssetBytes,
              u.unreachableAssets, u.unreachableAssetBytes);
  if (u.oldestUnreachableSeconds < 0) {
    std::printf("oldest unreachable: none seen by housekeeping\n");
  } else {
    std::printf("oldest unreachable: %lld s\n", u.oldestUnreachableSeconds);
  }
  if (u.freeKb < 0) {
    std::printf("free: unknown\n");
  } else {
    std::printf("free: %ld KB\n", u.freeKb);
  }
  return kExitOk;
}

}  // namespace

int cmdCache(int argc, char** argv) {
  Args args;
  std::string error;
  if (!parseArgs(argc, argv, 2, {}, {"--json"}, args, error)) return usageError("cache: " + error);
  if (args.positional.size() != 1)
    return usageError("cache: expected containers, channels, items, assets or usage");
  const std::string what = args.positional[0];
  if (what != "containers" && what != "channels" && what != "items" && what != "assets" && what != "usage")
    return usageError("cache: unknown listing '" + what + "'");
  NR_ContentCache* cache = NR_ContentCache::getInstance();
  if (cache == nullptr) {
    std::fprintf(stderr, "nrctl: cannot open the content cache\n");
    return kExitError;
  }
  const bool json = args.has("--json");
  if (what == "usage") return printUsage(*cache, json);
  std::vector<std::string> rows;

  if (what == "containers") {
    for (const qvTypes::ID& id : cache->listContainerIds()) {
      Container c;
      if (cache->get(id, c) != 0) continue;
      rows.push_back(json ? "{\"id\":" + jsonString(id) + ",\"channels\":" + idList(c.getChannelIds()) + "}"
                          : id + "  channels: " + plainList(c.getChannelIds()));
    }
  } else if (what == "channels") {
    for (const qvTypes::ID& id : cache->listChannelIds()) {
      Channel c;
      if (cache->get(id, c) != 0) continue;
      rows.push_back(json ? "{\"id\":" + jsonString(id) + ",\"title\":" + jsonString(utf8(c.getTitle())) +
                                ",\"summary\":" + jsonString(utf8(c.getSummary())) +
                                ",\"items\":" + idList(c.getItemIds()) + "}"
                          : id + "  \"" + utf8(c.getTitle()) + "\"  items: " + plainList(c.getItemIds()));
    }
  } else if (what == "items") {
    for (const qvTypes::ID& id : cache->listItemIds()) {
      Item item;
      if (cache->get(id, item) != 0) continue;
      rows.push_back(json ? "{\"id\":" + jsonString(id) + ",\"title\":" + jsonString(utf8(item.getTitle())) +
                                ",\"summary\":" + jsonString(utf8(item.getSummary())) + "}"
                          : id + "  \"" + utf8(item.getTitle()) + "\"");
    }
  } else {
    for (const NR_ContentCache::AssetInfo& a : cache->listAssets()) {
      rows.push_back(json ? "{\"id\":" + jsonString(a.id) + ",\"mime\":" + jsonString(a.mime) +
                                ",\"size\":" + std::to_string(a.size) + ",\"path\":" + jsonString(a.path) + "}"
                          : a.id + "  " + a.mime + "  " + std::to_string(a.size) + " bytes  " + a.path);
    }
  }

  if (json) {
    std::printf("[");
    for (size_t i = 0; i < rows.size(); ++i) std::printf("%s%s", i ? "," : "", rows[i].c_str());
    std::printf("]\n");
  } else {
    if (rows.empty()) std::printf("(no %s)\n", what.c_str());
    for (const std::string& r : rows) std::printf("%s\n", r.c_str());
  }
  return kExitOk;
}

}  // namespace nrctl
