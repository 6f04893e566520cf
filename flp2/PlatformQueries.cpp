#include "PlatformQueries.h"

#include <ctime>
#include <vector>

#include "ProtocolSettings.h"
#include "platform/ContentCache.h"
#include "platform/Facade.h"
#include "platform/Log.h"

namespace flp2 {

namespace {

void logNoFacade() { QV_LOG(3, "Unable to obtain event and status facade. Returning default."); }

}  // namespace

std::string queryMsisdn(QV_EventAndStatusFacade* facade) {
  if (facade == nullptr) {
    logNoFacade();
    return "";
  }
  qvTypes::String value;
  if (facade->getMSISDN(value) != 0) {
    QV_LOG(3, "Unable to get MSISDN. Returning default.");
    return "";
  }
  std::string text = toUtf8(value);
  QV_LOG(8, "Got MSISDN, %s", text.c_str());
  return text;
}

std::string querySoftwareVersion(QV_EventAndStatusFacade* facade) {
  if (facade == nullptr) {
    logNoFacade();
    return "";
  }
  qvTypes::String value;
  if (facade->getPhoneSoftwareVersion(value) != 0) {
    QV_LOG(3, "Unable to get phone software version. Returning default.");
    return "";
  }
  std::string text = toUtf8(value);
  QV_LOG(8, "Got phone software version, %s", text.c_str());
  return text;
}

std::string queryModelId(QV_EventAndStatusFacade* facade) {
  if (facade == nullptr) {
    logNoFacade();
    return "";
  }
  qvTypes::String value;
  if (facade->getPhoneModelId(value) != 0) {
    QV_LOG(3, "Unable to get phone model id. Returning default.");
    return "";
  }
  std::string text = toUtf8(value);
  QV_LOG(8, "Got phone model id, %s", text.c_str());
  return text;
}

std::string queryLanguageCode(QV_EventAndStatusFacade* facade) {
  if (facade == nullptr) {
    logNoFacade();
    return "";
  }
  qvTypes::String value;
  if (facade->getCurrentLanguageCode(value) != 0) {
    QV_LOG(3, "Unable to get current language code. Returning default.");
    return "";
  }
  std::string text = toUtf8(value);
  QV_LOG(8, "Got language code, %s", text.c_str());
  return text;
}

std::string queryInstalledLanguages(QV_EventAndStatusFacade* facade) {
  if (facade == nullptr) {
    logNoFacade();
    return "";
  }
  std::vector<qvTypes::String> codes;
  if (facade->getInstalledLanguageCodes(codes) != 0) {
    QV_LOG(3, "Unable to get installed language codes. Returning default.");
    return "";
  }
  std::string text;
  for (std::size_t i = 0; i < codes.size(); ++i) {
    if (i > 0) text += ",";
    text += toUtf8(codes[i]);
  }
  return text;
}

std::string queryTimeReliable(QV_EventAndStatusFacade* facade) {
  if (facade == nullptr) {
    logNoFacade();
    return "false";
  }
  bool available = false;
  if (facade->isNetworkTimeAvailable(available) != 0) {
    QV_LOG(3, "Unable to query NITZ status. Returning default.");
    return "false";
  }
  QV_LOG(8, "Is NITZ available or not? %d", available ? 1 : 0);
  return available ? "true" : "false";
}

std::string toIso8601(long seconds) {
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm parts{};
  char buffer[128];
  if (gmtime_r(&t, &parts) == nullptr || std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S%z", &parts) == 0) {
    QV_LOG(3, "Unable to convert timestamp, %ld, to a ISO8601 time.", seconds);
    return "";
  }
  QV_LOG(8, "Converted timestamp, %ld, to the ISO 8601 time, %s", seconds, buffer);
  return buffer;
}

std::string queryCurrentTime(QV_EventAndStatusFacade* facade) {
  if (facade == nullptr) {
    logNoFacade();
    return "";
  }
  long seconds = 0;
  if (facade->getCurrentTime(seconds) != 0) {
    QV_LOG(3, "Unable to get current time. Returning default.");
    return "";
  }
  return toIso8601(seconds);
}

DataNetworkStatus queryDataNetworkStatus(QV_EventAndStatusFacade* facade) {
  if (facade == nullptr) {
    logNoFacade();
    return NETWORK_UNKNOWN;
  }
  int status = 0;
  if (facade->getDataNetworkStatus(status) != 0) {
    QV_LOG(3, "Unable to determine data network status. Returning default.");
    return NETWORK_UNKNOWN;
  }
  switch (status) {
    case 1:
      return NETWORK_OTHER;
    case 2:
      return NETWORK_3G;
    case 0:
      return NETWORK_UNKNOWN;
    default:
      QV_LOG(8, "Encountered an unrecognized data network status. Returning default.");
      return NETWORK_UNKNOWN;
  }
}

std::string queryStorageAvailable() {
  NR_ContentCache* cache = NR_ContentCache::getInstance();
  if (cache == nullptr) {
    QV_LOG(3, "Unable to obtain content-cache for determining available storage capacity.");
    return "";
  }
  long kb = cache->cacheRemaining();
  QV_LOG(8, "Determined that there are %ld kilobytes available in the storage-layer.", kb);
  return std::to_string(kb);
}

}  // namespace flp2
