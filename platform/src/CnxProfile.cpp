#include "platform/CnxProfile.h"

#include <cctype>
#include <cstring>
#include <sstream>
#include <string>

#include "platform/Log.h"
#include "platform/Settings.h"
#include "platform/Types.h"

namespace {

constexpr int kCategory = 8;  // "QVCore.System"

std::string toUtf8(const qvTypes::String& text) { return MString::fromWide(text); }

// True when key holds a value of any type (used to tell a missing key from
// one stored with the wrong type).
bool present(QuorvelSettingMgr& mgr, const std::string& key) {
  int i = 0;
  bool b = false;
  qvTypes::String s;
  return mgr.getInt(kCategory, key, i) == 0 || mgr.getBoolean(kCategory, key, b) == 0 ||
         mgr.getString(kCategory, key, s) == 0;
}

int unusable(const char* profile, const std::string& key, const char* why) {
  QV_LOG(3, "Connection profile %s: the setting QVCore.System.%s is unusable: %s\n", profile, key.c_str(), why);
  return CNX_ERR_VALUE;
}

bool validHost(const std::string& host) {
  for (unsigned char c : host) {
    if (std::isalnum(c) == 0 && std::strchr(".-_:[]", c) == nullptr) return false;
  }
  return true;
}

int readSlot(QuorvelSettingMgr& mgr, const char* profile, int slot, char* host, uint16_t& port, uint8_t& enabled) {
  const std::string prefix = std::string("ConnProfile.") + profile + ".Proxy" + std::to_string(slot);

  const std::string hostKey = prefix + "Host";
  std::string hostText;
  qvTypes::String wide;
  if (mgr.getString(kCategory, hostKey, wide) == 0) {
    hostText = toUtf8(wide);
  } else if (present(mgr, hostKey)) {
    return unusable(profile, hostKey, "not a string");
  }
  if (hostText.size() > CNX_MAX_HOST_LENGTH) return unusable(profile, hostKey, "longer than 99 bytes");
  if (!validHost(hostText)) return unusable(profile, hostKey, "not a host name or address");

  const std::string portKey = prefix + "Port";
  int portValue = 0;
  if (mgr.getInt(kCategory, portKey, portValue) == 0) {
    if (portValue < 0 || portValue > 65535) return unusable(profile, portKey, "not a port (0..65535)");
  } else if (present(mgr, portKey)) {
    return unusable(profile, portKey, "not an int");
  }

  const std::string enabledKey = prefix + "Enabled";
  bool allowed = true;
  if (mgr.getBoolean(kCategory, enabledKey, allowed) != 0) {
    if (present(mgr, enabledKey)) return unusable(profile, enabledKey, "not a boolean");
    allowed = true;
  }

  std::memcpy(host, hostText.data(), hostText.size());
  host[hostText.size()] = '\0';
  port = static_cast<uint16_t>(portValue);
  enabled = allowed && !hostText.empty() && portValue != 0 ? 1 : 0;
  return CNX_OK;
}

}  // namespace

int CNX_ReadProfile(const char* name, CNX_ProfileRecord* record, int flags, int reserved) {
  if (record == nullptr || name == nullptr || flags != 0 || reserved != 0) {
    QV_LOG(3, "CNX_ReadProfile called without a name or record, or with non-zero flags\n");
    return CNX_ERR_ARGUMENT;
  }
  std::size_t length = std::strlen(name);
  bool printable = length > 0 && length <= CNX_MAX_NAME_LENGTH;
  for (std::size_t i = 0; printable && i < length; ++i) {
    printable = static_cast<unsigned char>(name[i]) >= 0x20 && name[i] != 0x7f;
  }
  if (!printable) {
    QV_LOG(3, "CNX_ReadProfile: a profile name must be 1 to %zu printable bytes\n", CNX_MAX_NAME_LENGTH);
    return CNX_ERR_ARGUMENT;
  }
  std::memset(record, 0, sizeof *record);
  std::memcpy(record->name, name, length);

  QuorvelSettingMgr* mgr = QuorvelSettingMgr::getSettingMgrInstance();
  if (mgr == nullptr) {
    QV_LOG(3, "CNX_ReadProfile %s: no settings store\n", name);
    return CNX_ERR_STORE;
  }
  int rc = readSlot(*mgr, name, 1, record->proxy1Host, record->proxy1Port, record->proxy1Enabled);
  if (rc == CNX_OK) rc = readSlot(*mgr, name, 2, record->proxy2Host, record->proxy2Port, record->proxy2Enabled);
  if (rc != CNX_OK) {
    std::memset(record, 0, sizeof *record);
    std::memcpy(record->name, name, length);
  }
  return rc;
}
