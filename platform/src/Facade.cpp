#include "platform/Facade.h"

#include <atomic>
#include <ctime>
#include <map>
#include <string>

#include "BusPublish.h"
#include "platform/Log.h"
#include "platform/Settings.h"

namespace {

// Settings category "QVDevice".
constexpr int kDeviceCategory = 12;

std::atomic<QV_EventAndStatusFacade*> gTestFacade{nullptr};

QuorvelSettingMgr* settings() {
  QuorvelSettingMgr* mgr = QuorvelSettingMgr::getSettingMgrInstance();
  if (mgr == nullptr) QV_LOG(3, "Device facts are unavailable: no settings store");
  return mgr;
}

// A missing key is an ordinary answer ("not known on this device"): the
// caller reports it, so it is not logged here.
int deviceString(const char* key, qvTypes::String& value) {
  QuorvelSettingMgr* mgr = settings();
  if (mgr == nullptr) return -1;
  return mgr->getString(kDeviceCategory, key, value) == 0 ? 0 : -1;
}

qvTypes::String trimmed(const qvTypes::String& s) {
  const wchar_t* blanks = L" \t";
  qvTypes::String::size_type first = s.find_first_not_of(blanks);
  if (first == qvTypes::String::npos) return qvTypes::String();
  return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

}  // namespace

QV_EventAndStatusFacade* QV_EventAndStatusFacade::instance() {
  // Never destroyed, so that a late publication at process exit still finds it.
  static QV_EventAndStatusFacade* real = new QV_EventAndStatusFacade;
  QV_EventAndStatusFacade* test = gTestFacade.load();
  return test != nullptr ? test : real;
}

void QV_EventAndStatusFacade::setInstanceForTesting(QV_EventAndStatusFacade* facade) { gTestFacade.store(facade); }

int QV_EventAndStatusFacade::publishEvent(const QV_Event& event, void* /*reserved*/) {
  std::map<std::string, std::string> properties;
  if (event.mProperties) properties = *event.mProperties;
  // The value always travels as this property; a stale copy in the map
  // must not contradict mValue.
  properties[kQvEventValueProperty] = std::to_string(event.mValue);
  return qvbus::publishEvent(event.mName, properties, event.mData);
}

int QV_EventAndStatusFacade::getDataNetworkStatus(int& status) {
  QuorvelSettingMgr* mgr = settings();
  if (mgr == nullptr) return -1;
  return mgr->getInt(kDeviceCategory, "NetworkStatus", status) == 0 ? 0 : -1;
}

int QV_EventAndStatusFacade::getMSISDN(qvTypes::String& msisdn) { return deviceString("MSISDN", msisdn); }

int QV_EventAndStatusFacade::getPhoneModelId(qvTypes::String& modelId) { return deviceString("ModelId", modelId); }

int QV_EventAndStatusFacade::getPhoneSoftwareVersion(qvTypes::String& version) {
  return deviceString("SoftwareVersion", version);
}

int QV_EventAndStatusFacade::getCurrentLanguageCode(qvTypes::String& language) {
  return deviceString("Language", language);
}

int QV_EventAndStatusFacade::getInstalledLanguageCodes(std::vector<qvTypes::String>& languages) {
  qvTypes::String text;
  if (deviceString("InstalledLanguages", text) != 0) return -1;
  std::vector<qvTypes::String> codes;
  qvTypes::String::size_type start = 0;
  for (;;) {
    qvTypes::String::size_type comma = text.find(L',', start);
    qvTypes::String code = trimmed(text.substr(start, comma == qvTypes::String::npos ? qvTypes::String::npos : comma - start));
    if (!code.empty()) codes.push_back(code);
    if (comma == qvTypes::String::npos) break;
    start = comma + 1;
  }
  languages.swap(codes);
  return 0;
}

int QV_EventAndStatusFacade::getCurrentTime(long& secondsSinceEpoch) {
  std::time_t now = std::time(nullptr);
  if (now == static_cast<std::time_t>(-1)) {
    QV_LOG(3, "Unable to read the system clock");
    return -1;
  }
  secondsSinceEpoch = static_cast<long>(now);
  return 0;
}

int QV_EventAndStatusFacade::isNetworkTimeAvailable(bool& available) {
  QuorvelSettingMgr* mgr = settings();
  if (mgr == nullptr) return -1;
  return mgr->getBoolean(kDeviceCategory, "NetworkTimeAvailable", available) == 0 ? 0 : -1;
}
