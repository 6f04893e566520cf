// The FLP 2.0 engine's whole answer-to-content-cache path over arbitrary
// bytes: the XML syntax reads the answer, the content updater checks it and
// reconciles its channels and items into a scratch content cache. Every
// input starts from the same stored state (two channels with items): the
// input runs inside a batch scope of the cache that is rolled back
// afterwards. The invariants of a consistent cache are checked after each
// input.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "ContentUpdater.h"
#include "FuzzSupport.h"
#include "ProtocolSettings.h"
#include "platform/ContentCache.h"
#include "platform/Facade.h"
#include "syntax/XmlSyntax.h"

namespace {

// Events (the update-ttl) go nowhere: there is no bus.
class SilentFacade : public QV_EventAndStatusFacade {
 public:
  int publishEvent(const QV_Event&, void*) override { return 0; }
};

struct World {
  std::unique_ptr<ProtocolRequest> request;
  std::unique_ptr<txn::Session> session;
  std::unique_ptr<flp2::ProtocolSettings> settings;
};

World* gWorld = nullptr;

void storeInitialState(NR_ContentCache& cache) {
  Container container;
  for (const char* channelId : {"feed-1", "feed-2"}) {
    Channel channel(channelId);
    channel.getAttributes().putString("flp2.channel.syncanchor", L"A1", "_default_");
    for (int i = 0; i < 3; ++i) {
      const std::string itemId = std::string(channelId) + "-item-" + std::to_string(i);
      Item item(itemId);
      item.setTitle(L"stored");
      cache.save(itemId, item);
      channel.addItemId(itemId);
    }
    cache.save(channelId, channel);
    container.addChannelId(channelId);
  }
  cache.save("container1", container);
}

// What every answer must leave behind: each channel listed once, and each
// channel's items listed once and stored.
void checkConsistent(NR_ContentCache& cache) {
  Container container;
  FUZZ_CHECK(cache.get("container1", container) == 0);
  std::set<qvTypes::ID> channels;
  for (const qvTypes::ID& channelId : container.getChannelIds()) {
    FUZZ_CHECK(channels.insert(channelId).second);
    Channel channel;
    FUZZ_CHECK(cache.get(channelId, channel) == 0);
    std::set<qvTypes::ID> items;
    for (const qvTypes::ID& itemId : channel.getItemIds()) {
      FUZZ_CHECK(items.insert(itemId).second);
      Item item;
      FUZZ_CHECK(cache.get(itemId, item) == 0);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quietLogs();
  static SilentFacade facade;
  QV_EventAndStatusFacade::setInstanceForTesting(&facade);
  // A scratch home on a memory file system where there is one: the
  // settings are written after every input.
  std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm/qv-fuzz-flp2-XXXXXX" : "/tmp/qv-fuzz-flp2-XXXXXX";
  char* home = mkdtemp(&pattern[0]);
  if (home == nullptr) std::abort();
  setenv("QUORVEL_HOME", home, 1);
  NR_ContentCache* cache = NR_ContentCache::getInstance();
  if (cache == nullptr) std::abort();
  storeInitialState(*cache);
  gWorld = new World;
  gWorld->request.reset(new ProtocolRequest(ProtocolRequest::MANUAL));
  gWorld->session.reset(new txn::Session());
  gWorld->settings.reset(new flp2::ProtocolSettings());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dcd::XmlSyntax syntax;
  std::unique_ptr<txn::Primitive> primitive =
      syntax.marshall({}, reinterpret_cast<const char*>(data), static_cast<long>(size), "UTF-8");
  txn::Response* response = primitive ? dynamic_cast<txn::Response*>(primitive.get()) : nullptr;
  if (response == nullptr) return 0;
  NR_ContentCache& cache = *NR_ContentCache::getInstance();
  NR_ContentCache::BatchScope scratch(cache);
  FUZZ_CHECK(scratch.active());
  {
    flp2::ContentUpdater updater(gWorld->request.get(), "container1", gWorld->session.get(), gWorld->settings.get());
    updater.applyContentUpdate(*response);
  }
  checkConsistent(cache);
  return 0;  // the scope rolls the cache back
}
