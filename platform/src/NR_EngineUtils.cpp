#include "platform/NR_EngineUtils.h"

#include <cstring>
#include <sstream>

#include "platform/Facade.h"
#include "platform/Settings.h"
#include "platform/Types.h"

#ifndef QV_VERSION
#define QV_VERSION "0.0.0"
#endif

namespace {

// Settings category "QVDevice".
constexpr int kDeviceCategory = 12;

std::string toUtf8(const qvTypes::String& text) { return MString::fromWide(text); }

// Percent-encodes every byte except the unreserved characters of URIs
// (letters, digits, "-", ".", "_", "~").
std::string urlEncoded(const std::string& value) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : value) {
    bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                      c == '.' || c == '_' || c == '~';
    if (unreserved) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
  return out;
}

// A device fact as UTF-8, empty when the device does not know it.
template <class Query>
std::string facadeText(Query query) {
  QV_EventAndStatusFacade* facade = QV_EventAndStatusFacade::instance();
  qvTypes::String value;
  if (facade == nullptr || (facade->*query)(value) != 0) return std::string();
  return toUtf8(value);
}

std::string flpVersion() {
  QuorvelSettingMgr* mgr = QuorvelSettingMgr::getSettingMgrInstance();
  qvTypes::String value;
  if (mgr == nullptr || mgr->getString(kDeviceCategory, "FlpVersion", value) != 0) return std::string();
  return toUtf8(value);
}

enum Placeholder { DEVICE_MODEL, CLIENT_SW_VERSION, FLP_VERSION, MSISDN, PLACEHOLDER_COUNT };
const char* const kPlaceholders[PLACEHOLDER_COUNT] = {"@DEVICE_MODEL@", "@FL_CLIENT_SW_VERSION@", "@FLP_VERSION@",
                                                      "@MSISDN@"};

std::string valueOf(Placeholder which) {
  switch (which) {
    case DEVICE_MODEL: return facadeText(&QV_EventAndStatusFacade::getPhoneModelId);
    case CLIENT_SW_VERSION: return QV_VERSION;
    case FLP_VERSION: return flpVersion();
    case MSISDN: return facadeText(&QV_EventAndStatusFacade::getMSISDN);
    case PLACEHOLDER_COUNT: break;
  }
  return std::string();
}

}  // namespace

namespace NR_EngineUtils {

bool isNetworkAccessAllowed() {
  QuorvelSettingMgr* mgr = QuorvelSettingMgr::getSettingMgrInstance();
  bool allowed = true;
  if (mgr != nullptr && mgr->getBoolean(kDeviceCategory, "NetworkAccessAllowed", allowed) != 0) allowed = true;
  return allowed;
}

void replacePatternsInURL(std::string& url) {
  if (url.find('@') == std::string::npos) return;
  // One pass from left to right: substituted text is never scanned again.
  // Each value is looked up once, at its first use.
  std::string values[PLACEHOLDER_COUNT];
  bool known[PLACEHOLDER_COUNT] = {};
  std::string out;
  out.reserve(url.size());
  std::string::size_type pos = 0;
  while (pos < url.size()) {
    int found = -1;
    if (url[pos] == '@') {
      for (int i = 0; i < PLACEHOLDER_COUNT && found < 0; ++i) {
        if (url.compare(pos, std::strlen(kPlaceholders[i]), kPlaceholders[i]) == 0) found = i;
      }
    }
    if (found < 0) {
      out.push_back(url[pos++]);
      continue;
    }
    if (!known[found]) {
      values[found] = urlEncoded(valueOf(static_cast<Placeholder>(found)));
      known[found] = true;
    }
    out += values[found];
    pos += std::strlen(kPlaceholders[found]);
  }
  url.swap(out);
}

}  // namespace NR_EngineUtils
