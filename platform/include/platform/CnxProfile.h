// Network connection profiles: CNX_ReadProfile fills a fixed-layout record
// with the proxy data of a named profile kept in the settings store.
//
// Settings, category 8 ("QVCore.System"), for a profile called <name>:
//   "ConnProfile.<name>.Proxy1Host"     string   first proxy host (at most 99 bytes)
//   "ConnProfile.<name>.Proxy1Port"     int      its port, 0..65535
//   "ConnProfile.<name>.Proxy1Enabled"  boolean  default true
//   "ConnProfile.<name>.Proxy2Host", "...Proxy2Port", "...Proxy2Enabled"  the second proxy
// A profile none of whose keys is set has no proxy: it means a direct
// connection. A slot's enabled flag is set only when the setting allows it
// and the slot has both a host and a non-zero port.
//
// Threads: any (the settings manager serialises its calls).
#pragma once

#include <cstddef>
#include <cstdint>

// Results of CNX_ReadProfile.
constexpr int CNX_OK = 0;
constexpr int CNX_ERR_ARGUMENT = 1;  // null record, empty or over-long name, non-zero flags
constexpr int CNX_ERR_STORE = 2;     // the settings store cannot be opened
constexpr int CNX_ERR_VALUE = 3;     // a stored value is unusable (type, range, length, characters)

// The profile record. Its layout is fixed: readers address the proxy
// fields by byte offset (see the constants below). Host texts are
// NUL-terminated; ports are in host byte order.
struct CNX_ProfileRecord {
  char name[64];
  char reserved0[696];
  char proxy1Host[100];
  uint16_t proxy1Port;
  uint8_t proxy1Enabled;
  char reserved1[100];
  char proxy2Host[101];
  uint16_t proxy2Port;
  uint8_t proxy2Enabled;
  char reserved2[1];
};

constexpr std::size_t CNX_PROXY1_HOST_OFFSET = 760;
constexpr std::size_t CNX_PROXY1_PORT_OFFSET = 860;
constexpr std::size_t CNX_PROXY2_HOST_OFFSET = 963;
constexpr std::size_t CNX_PROXY2_PORT_OFFSET = 1064;
constexpr std::size_t CNX_MAX_NAME_LENGTH = sizeof(CNX_ProfileRecord::name) - 1;
constexpr std::size_t CNX_MAX_HOST_LENGTH = 99;

static_assert(offsetof(CNX_ProfileRecord, proxy1Host) == CNX_PROXY1_HOST_OFFSET, "proxy 1 host offset");
static_assert(offsetof(CNX_ProfileRecord, proxy1Port) == CNX_PROXY1_PORT_OFFSET, "proxy 1 port offset");
static_assert(offsetof(CNX_ProfileRecord, proxy2Host) == CNX_PROXY2_HOST_OFFSET, "proxy 2 host offset");
static_assert(offsetof(CNX_ProfileRecord, proxy2Port) == CNX_PROXY2_PORT_OFFSET, "proxy 2 port offset");
static_assert(sizeof(CNX_ProfileRecord) == 1068, "profile record size");

// Fills record with the profile called name (the record is zeroed first).
// flags and reserved must be 0. Returns CNX_OK or one of the errors above
// (one log line each).
int CNX_ReadProfile(const char* name, CNX_ProfileRecord* record, int flags, int reserved);
