#include "ProtocolSettings.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/Log.h"
#include "platform/Settings.h"
#include "transport/DcdFileTransport.h"
#include "transport/DcdHttpTransport.h"

namespace flp2 {

namespace {

const char* const kServerUrlSettings[] = {"QVCore.DCD.flp1x.ServerURL", "QVCore.DCD.flp20.ServerURL"};

struct NamedValue {
  int value;
  const char* text;
};

const NamedValue kPhoneModes[] = {
    {ENABLED_NORMAL_MODE, "ENABLED_NORMAL_MODE"},
    {DISABLED_NORMAL_MODE, "DISABLED_NORMAL_MODE"},
    {HIDDEN_MODE, "HIDDEN_MODE"},
};

const NamedValue kResults[] = {
    {SUCCESS, "SUCCESS"},
    {FAILED, "FAILED"},
    {CANCELLED, "CANCELLED"},
    {WRONG_VERSION, "WRONG_VERSION"},
};

const NamedValue kSettingTypes[] = {
    {static_cast<int>(SettingType::STRING), "string"},
    {static_cast<int>(SettingType::BOOLEAN), "boolean"},
    {static_cast<int>(SettingType::INT), "int"},
    {static_cast<int>(SettingType::LONG), "long"},
    {static_cast<int>(SettingType::LOCALIZED_STRING), "localizedstring"},
    {static_cast<int>(SettingType::INT_ARRAY), "intarray"},
    {static_cast<int>(SettingType::LONG_ARRAY), "longarray"},
    {static_cast<int>(SettingType::BOOLEAN_ARRAY), "booleanarray"},
};

template <std::size_t N>
const NamedValue* findText(const NamedValue (&table)[N], const std::string& text) {
  for (const NamedValue& v : table) {
    if (text == v.text) return &v;
  }
  return nullptr;
}

template <std::size_t N>
const char* findValue(const NamedValue (&table)[N], int value) {
  for (const NamedValue& v : table) {
    if (value == v.value) return v.text;
  }
  return nullptr;
}

// A decimal number at the start of text (leading blanks skipped, reading
// stops at the first non-digit), clamped to the 32-bit range. False when the
// text does not begin with a number.
bool leadingInt(const std::string& text, long lowest, long highest, long& out) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(begin, &end, 10);
  if (end == begin) return false;
  if (v < lowest) v = lowest;
  if (v > highest) v = highest;
  out = v;
  return true;
}

}  // namespace

// Both conversions follow the platform's UTF_8Util reader and writer rule
// for rule (an unencodable character, a malformed or truncated sequence
// become U+FFFD, reading resumes at the next byte), without a stream per
// call: they run for every text of every object stored.
std::string toUtf8(const qvTypes::String& text) { return MString::fromWide(text); }

qvTypes::String fromUtf8(const std::string& bytes) {
  qvTypes::String out;
  out.reserve(bytes.size());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c0 = static_cast<unsigned char>(bytes[i++]);
    if (c0 < 0x80) {
      out.push_back(static_cast<wchar_t>(c0));
      continue;
    }
    int extra;
    long cp;
    long minimum;
    if ((c0 & 0xE0) == 0xC0) {
      extra = 1;
      cp = c0 & 0x1F;
      minimum = 0x80;
    } else if ((c0 & 0xF0) == 0xE0) {
      extra = 2;
      cp = c0 & 0x0F;
      minimum = 0x800;
    } else if ((c0 & 0xF8) == 0xF0) {
      extra = 3;
      cp = c0 & 0x07;
      minimum = 0x10000;
    } else {
      out.push_back(static_cast<wchar_t>(0xFFFD));
      continue;
    }
    bool complete = true;
    for (int k = 0; k < extra; ++k) {
      if (i >= n || (static_cast<unsigned char>(bytes[i]) & 0xC0) != 0x80) {
        complete = false;
        break;
      }
      cp = (cp << 6) | (static_cast<unsigned char>(bytes[i++]) & 0x3F);
    }
    if (!complete || cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    out.push_back(static_cast<wchar_t>(cp));
  }
  return out;
}

bool parseBoolean(const std::string& text) {
  if (text == "true") return true;
  if (text == "false") return false;
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  return !(i < text.size() && text[i] == '0');
}

bool transportBindingFromString(const std::string& text, TransportBinding& out) {
  if (text == "HTTP") {
    out = TransportBinding::HTTP;
    return true;
  }
  if (text == "FILE") {
    out = TransportBinding::FILE;
    return true;
  }
  QV_LOG(3, "Unable to convert the value %s, to a TransportBinding", text.c_str());
  return false;
}

bool phoneModeFromString(const std::string& text, PhoneMode& out) {
  const NamedValue* v = findText(kPhoneModes, text);
  if (v == nullptr) {
    QV_LOG(3, "Unable to convert the string %s, to a PhoneMode", text.c_str());
    return false;
  }
  out = static_cast<PhoneMode>(v->value);
  return true;
}

bool resultFromString(const std::string& text, Result& out) {
  const NamedValue* v = findText(kResults, text);
  if (v == nullptr) {
    QV_LOG(3, "Unable to convert the string %s, to a Result", text.c_str());
    return false;
  }
  out = static_cast<Result>(v->value);
  return true;
}

bool settingTypeFromString(const std::string& text, SettingType& out) {
  const NamedValue* v = findText(kSettingTypes, text);
  if (v == nullptr) return false;
  out = static_cast<SettingType>(v->value);
  return true;
}

const char* phoneModeToString(int mode) { return findValue(kPhoneModes, mode); }

std::string resultToString(int result) {
  const char* text = findValue(kResults, result);
  return text != nullptr ? text : "";
}

std::vector<std::string> splitList(const std::string& text) {
  std::vector<std::string> pieces;
  for (const std::string& piece : MString::splitAll(text, ',')) {
    if (!piece.empty()) pieces.push_back(piece);
  }
  return pieces;
}

ProtocolSettings::ProtocolSettings() : ProtocolSettings(QuorvelSettingMgr::getSettingMgrInstance()) {}

ProtocolSettings::ProtocolSettings(QuorvelSettingMgr* manager) : mSettingMgr(manager) {
  if (mSettingMgr != nullptr) load();
}

ProtocolSettings::~ProtocolSettings() = default;

std::optional<bool> ProtocolSettings::readBoolean(int category, const char* key) {
  bool value = false;
  if (mSettingMgr->getBoolean(category, key, value) != 0) {
    QV_LOG(3, "Unable to retrieve setting, %s", key);
    return std::nullopt;
  }
  QV_LOG(8, "For setting, %s, found the value, %d", key, value ? 1 : 0);
  return value;
}

std::optional<int32_t> ProtocolSettings::readInt(int category, const char* key) {
  int value = 0;
  if (mSettingMgr->getInt(category, key, value) != 0) {
    QV_LOG(3, "Unable to retrieve setting, %s", key);
    return std::nullopt;
  }
  QV_LOG(8, "For setting, %s, found the value, %d", key, value);
  return static_cast<int32_t>(value);
}

std::optional<std::string> ProtocolSettings::readString(int category, const char* key) {
  qvTypes::String value;
  if (mSettingMgr->getString(category, key, value) != 0) {
    QV_LOG(3, "Unable to retrieve setting, %s", key);
    return std::nullopt;
  }
  std::string bytes = toUtf8(value);
  QV_LOG(8, "For setting, %s, found the value, %s", key, bytes.c_str());
  return bytes;
}

void ProtocolSettings::load() {
  mTimeout = readInt(kCategoryDcd, "Timeout");
  mEnableGzip = readBoolean(kCategoryDcd, "Transport.EnableGzip");
  mIsMsisdnReported = readBoolean(kCategoryDcd, "Transport.IsMsisdnReported");
  mEnable3GDownload = readBoolean(kCategoryDcd, "Enable3GDownload");
  mEnableServerReq = readBoolean(kCategoryDcd, "EnableServerReq");
  mEnableTtlRequest = readBoolean(kCategoryDcd, "EnableTtlRequest");
  mEnableType3Req = readBoolean(kCategoryDcd, "EnableType3Req");
  mIgnoreProv = readBoolean(kCategoryDcd, "IgnoreProv");
  mBetweenNetReq = readInt(kCategoryDcd, "BetweenNetReq");
  mDefaultConnProf = readString(kCategoryDcd, "DefaultConnProf");
  mSessionProfile = readString(kCategoryBypass, "Bypass.SessionProfile");
  mNoSessionProfile = readString(kCategoryBypass, "Bypass.NoSessionProfile");

  if (std::optional<std::string> text = readString(kCategoryDcd, "ConnProfiles")) {
    for (const std::string& piece : splitList(*text)) {
      std::string name;
      std::string flag;
      if (!MString::split(piece, ':', name, flag)) {
        QV_LOG(3, "Unable to parse token, %s. Skipping.", piece.c_str());
        continue;
      }
      bool useDefault = parseBoolean(flag);
      QV_LOG(8, "Added profile, %s, and set use-default-on-failure to %d", name.c_str(), useDefault ? 1 : 0);
      mConnProfiles[name] = useDefault;
    }
  }
  if (std::optional<std::string> text = readString(kCategoryDcd, "ContainerNames")) {
    mContainerNames = splitList(*text);
  }
  if (std::optional<std::string> text = readString(kCategoryDcd, "flp20.FallbackHttpCode")) {
    // A piece that does not begin with a number repeats the number before
    // it (0 for the first).
    long number = 0;
    for (const std::string& piece : splitList(*text)) {
      leadingInt(piece, INT32_MIN, INT32_MAX, number);
      mFallbackHttpCodes.insert(static_cast<int32_t>(number));
    }
  }
  mMaxAssetsType2 = readInt(kCategoryDcd, "flp20.MaxAssetsType2");
  mMaxAssets3GType2 = readInt(kCategoryDcd, "flp20.MaxAssets3GType2");
  mServerUrl = readString(kCategoryDcd, "flp20.ServerURL");
  if (std::optional<std::string> text = readString(kCategoryDcd, "Transport.DefaultTransport")) {
    TransportBinding binding;
    if (transportBindingFromString(*text, binding)) mTransportBinding = binding;
  }
  mNextUpdateTime = readInt(kCategoryDcd, "RuntimeValues.NextUpdateTime");
  if (std::optional<std::string> text = readString(kCategoryDcd, "RuntimeValues.LastUpdateResult")) {
    Result result;
    if (resultFromString(*text, result)) mLastUpdateResult = result;
  }
  mLastUpdateTime = readInt(kCategoryDcd, "RuntimeValues.LastUpdateTime");
  mItemsDownloaded = readInt(kCategoryDcd, "RuntimeValues.ItemsDownloaded");
  mBytesDownloaded = readInt(kCategoryDcd, "RuntimeValues.BytesDownloaded");
  mAppSyncAnchor = readString(kCategoryDcd, "RuntimeValues.AppSyncAnchor");
  if (std::optional<std::string> text = readString(kCategorySystem, "EnabledMode")) {
    PhoneMode mode;
    if (phoneModeFromString(*text, mode)) mPhoneMode = mode;
  }
}

std::unique_ptr<DcdTransport> ProtocolSettings::createTransport() const {
  std::unique_ptr<DcdTransport> transport;
  if (!mTransportBinding) {
    QV_LOG(3, "Transport binding was not specified in settings. Defaulting to HTTP.");
    transport.reset(new DcdHttpTransport());
  } else if (*mTransportBinding == TransportBinding::FILE) {
    QV_LOG(8, "Transport binding will be FILE.");
    transport.reset(new DcdFileTransport());
  } else {
    QV_LOG(8, "Transport binding will be HTTP.");
    transport.reset(new DcdHttpTransport());
  }
  if (mTimeout) transport->mTimeoutMinutes = *mTimeout;
  if (mEnableGzip) {
    QV_LOG(8, "enableGzip setting set to %d", *mEnableGzip ? 1 : 0);
    transport->mEnableGzip = *mEnableGzip;
  } else {
    QV_LOG(3, "Enable-Gzip setting not set. Reverting to default: true");
    transport->mEnableGzip = true;
  }
  if (!mDefaultConnProf) QV_LOG(3, "Default connection profile not set. Defaulting to empty string.");
  transport->mProfileNames = connectionProfiles();
  return transport;
}

std::vector<std::string> ProtocolSettings::connectionProfiles() const {
  const std::string defaultProfile = mDefaultConnProf ? *mDefaultConnProf : std::string();
  if (mConnProfiles.size() == 1) {
    std::vector<std::string> list{mConnProfiles.begin()->first};
    if (mConnProfiles.begin()->second) list.push_back(defaultProfile);
    return list;
  }
  return {defaultProfile};
}

long ProtocolSettings::dataRequestPauseSeconds() const {
  long millis = 0;
  if (mBetweenNetReq) {
    millis = *mBetweenNetReq < 0 ? 0 : *mBetweenNetReq;
    QV_LOG(8, "From settings, set pauseBetweenNetworkRequestsMillis to %ld", millis);
  }
  long seconds = millis / 1000;
  return seconds < 10 ? 10 : seconds;
}

std::string ProtocolSettings::fallbackCodeText() const {
  std::string text;
  for (int32_t code : mFallbackHttpCodes) text += std::to_string(code) + " ";
  return text;
}

void ProtocolSettings::storeInt(const char* key, int value) {
  if (mSettingMgr == nullptr || mSettingMgr->setInt(kCategoryDcd, key, value) != 0) {
    QV_LOG(3, "Unable to set setting, %s", key);
    return;
  }
  QV_LOG(8, "For setting, %s, set the value, %d", key, value);
}

void ProtocolSettings::storeString(int category, const char* key, const std::string& value) {
  if (mSettingMgr == nullptr || mSettingMgr->setString(category, key, fromUtf8(value)) != 0) {
    QV_LOG(3, "Unable to set setting, %s", key);
    return;
  }
  QV_LOG(8, "For setting, %s, set the value, %s", key, value.c_str());
}

void ProtocolSettings::setBytesDownloaded(int bytes) {
  mBytesDownloaded = bytes;
  storeInt("RuntimeValues.BytesDownloaded", bytes);
}

void ProtocolSettings::setItemsDownloaded(int items) {
  mItemsDownloaded = items;
  storeInt("RuntimeValues.ItemsDownloaded", items);
}

void ProtocolSettings::setLastUpdateTime(int seconds) {
  mLastUpdateTime = seconds;
  storeInt("RuntimeValues.LastUpdateTime", seconds);
}

void ProtocolSettings::setNextUpdateTime(int seconds) {
  mNextUpdateTime = seconds;
  storeInt("RuntimeValues.NextUpdateTime", seconds);
}

void ProtocolSettings::setLastUpdateResult(int result) {
  const std::string text = resultToString(result);
  if (text.empty()) {
    mLastUpdateResult.reset();
  } else {
    mLastUpdateResult = static_cast<Result>(result);
  }
  storeString(kCategoryDcd, "RuntimeValues.LastUpdateResult", text);
}

void ProtocolSettings::setAppSyncAnchor(const std::string& anchor) {
  mAppSyncAnchor = anchor;
  storeString(kCategoryDcd, "RuntimeValues.AppSyncAnchor", anchor);
}

void ProtocolSettings::setPhoneMode(int mode) {
  QV_LOG(8, "Current phone mode is %d", mPhoneMode ? static_cast<int>(*mPhoneMode) : -1);
  const char* text = phoneModeToString(mode);
  if (text == nullptr) {
    QV_LOG(3, "Encountered an unrecognized phone mode. Not setting mode to any value.");
    return;
  }
  QV_LOG(8, "Setting the phone mode to the value, %s.", text);
  storeString(kCategorySystem, "EnabledMode", text);
  mPhoneMode = static_cast<PhoneMode>(mode);
  if (mSettingMgr != nullptr) mSettingMgr->notifySettingModeChange(text);
}

bool ProtocolSettings::updateSetting(const std::string& name, const std::string& value, const std::string& op,
                                     const std::string& language, SettingType type) {
  if (mSettingMgr == nullptr) {
    QV_LOG(3, "Unable to update setting %s since setting-manager is not available.", name.c_str());
    return false;
  }
  const int category = mSettingMgr->getCategory(fromUtf8(name));
  if (category == QuorvelSettingMgr::kNoCategory) {
    QV_LOG(3, "Unable to obtain a category for the setting named, %s. Will not update this setting.", name.c_str());
    return false;
  }
  // The key is the full name without its first two dot-separated words.
  std::string key = name;
  for (int word = 0; word < 2; ++word) {
    std::string::size_type dot = key.find('.');
    if (dot != std::string::npos) key = key.substr(dot + 1);
  }
  long number = 0;
  switch (type) {
    case SettingType::STRING:
    case SettingType::LOCALIZED_STRING:
      mSettingMgr->setString(category, key, fromUtf8(value));
      break;
    case SettingType::BOOLEAN:
      mSettingMgr->setBoolean(category, key, parseBoolean(value));
      break;
    case SettingType::INT:
    case SettingType::LONG:
      if (!leadingInt(value, INT32_MIN, INT32_MAX, number)) number = 0;
      mSettingMgr->setInt(category, key, static_cast<int>(number));
      break;
    case SettingType::INT_ARRAY:
    case SettingType::LONG_ARRAY:
    case SettingType::BOOLEAN_ARRAY:
    default:
      QV_LOG(3, "For setting %s, this client does not support settings that are array types.", name.c_str());
      return false;
  }
  QV_LOG(8, "Updating setting, %s, to the value, %s. Operator is %s, language is %s, and type is %d", name.c_str(),
         value.c_str(), op.c_str(), language.c_str(), static_cast<int>(type));
  if (category == kCategoryDcd && (name == kServerUrlSettings[0] || name == kServerUrlSettings[1])) {
    QV_LOG(7,
           "Since the setting, %s, is being modified, concluded that the flp1x or flp2.0 Server URL is being "
           "changed. Setting the application's sync-anchor to the empty string.",
           name.c_str());
    setAppSyncAnchor("");
  }
  return true;
}

}  // namespace flp2
