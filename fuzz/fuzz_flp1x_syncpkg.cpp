// SyncPkg::parse over arbitrary bytes. A rejected package has its reasons;
// an accepted one has what the model relies on (meta data, ids), and one
// without lifespan times is printed, read again and prints the same.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "SyncPkg.h"
#include "TimeValue.h"

namespace {
long zeroClock() { return 0; }
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quietLogs();
  TimeValue::setClockForTesting(&zeroClock);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  SyncPkg pkg;
  const bool ok = pkg.parse(bytes);
  FUZZ_CHECK(SyncPkg::serverTime() == 0);
  if (!ok) {
    FUZZ_CHECK(!pkg.errorText().empty());
    return 0;
  }
  FUZZ_CHECK(pkg.meta() != nullptr && pkg.meta()->globalMeta() != nullptr);
  FUZZ_CHECK(pkg.meta()->globalMeta()->ttl() && pkg.meta()->globalMeta()->serverTime());
  for (const auto& feed : pkg.feeds()) {
    FUZZ_CHECK(feed->ctxtId().has_value());
    for (const auto& entry : feed->entries()) FUZZ_CHECK(entry->ctxtId().has_value());
  }

  // Lifespan times are moved to the phone's clock by every read (and may
  // become negative, which no document holds), so only packages without
  // them read back exactly.
  const std::string printed = pkg.toXml();
  if (printed.find("<activation") != std::string::npos || printed.find("<expiration") != std::string::npos) return 0;
  SyncPkg again;
  FUZZ_CHECK(again.parse(printed));
  FUZZ_CHECK(again.feeds().size() == pkg.feeds().size());
  FUZZ_CHECK(again.entryCount() == pkg.entryCount());
  FUZZ_CHECK(again.toXml() == printed);
  return 0;
}
