#include "Flp1xPlatformWrapper.h"

#include <climits>
#include <memory>
#include <sstream>

#include "TimeValue.h"
#include "platform/Facade.h"
#include "platform/Log.h"
#include "platform/Settings.h"
#include "platform/Types.h"
#include "platform/ZMsg.h"

namespace {

std::unique_ptr<Flp1xPlatformWrapper> gInstance;

constexpr const char* kDcd = "QVCore.DCD";
constexpr const char* kService = "QVCore.Service";
constexpr const char* kSystem = "QVCore.System";
constexpr const char* kReaderUi = "QVNewsReader.UI";

constexpr const char* kNormalMode = "ENABLED_NORMAL_MODE";
constexpr const char* kHiddenMode = "HIDDEN_MODE";

std::string toUtf8(const qvTypes::String& text) { return MString::fromWide(text); }

// A number held as text; 0 when the text does not start with one.
int textToInt(const std::string& text) {
  long v = 0;
  if (!MString::toInt(text, v)) return 0;
  if (v < INT_MIN) return INT_MIN;
  if (v > INT_MAX) return INT_MAX;
  return static_cast<int>(v);
}

// Minutes to seconds, saturating.
int minutesToSeconds(int minutes) {
  long long seconds = static_cast<long long>(minutes) * 60;
  if (seconds > INT_MAX) return INT_MAX;
  if (seconds < INT_MIN) return INT_MIN;
  return static_cast<int>(seconds);
}

QuorvelSettingMgr* manager() {
  QuorvelSettingMgr* mgr = QuorvelSettingMgr::getSettingMgrInstance();
  if (mgr == nullptr) QV_LOG(3, "Can't get QuorvelSettingMgr instance!");
  return mgr;
}

}  // namespace

Flp1xPlatformWrapper* Flp1xPlatformWrapper::getInstance() {
  if (!gInstance) gInstance.reset(new Flp1xPlatformWrapper(QV_EventAndStatusFacade::instance()));
  return gInstance.get();
}

void Flp1xPlatformWrapper::resetForTesting() { gInstance.reset(); }

Flp1xPlatformWrapper::Flp1xPlatformWrapper(QV_EventAndStatusFacade* facade) : mFacade(facade) { load(); }

void Flp1xPlatformWrapper::load() {
  QV_LOG(3, "Flp1xPlatformWrapper::load!");
  if (mFacade == nullptr) {
    QV_LOG(3, "The QV_EventAndStatusFacade not ready!");
    return;
  }
  QV_LOG(8, "Load Profiles!");
  loadProfiles();
  loadPhoneInfo();

  mBaseUrl = getStringSetting("flp1x.ServerURL", kDcd);
  QV_LOG(3, "Get baseurl:%s", mBaseUrl.c_str());
  mAppSyncAnchor = getStringSetting("RuntimeValues.AppSyncAnchor", kDcd);
  QV_LOG(3, "Get AppSyncAnchor:%s", mAppSyncAnchor.c_str());
  mDownloadOption = textToInt(getStringSetting("DownloadOption", kService));
  QV_LOG(3, "Get DownloadOption:%d", mDownloadOption);
  mFallbackCodes = getStringSetting("flp1x.FallbackHttpCode", kDcd);
  QV_LOG(3, "Get FallbackCodes:%s", mFallbackCodes.c_str());

  loadNetworkStatus();

  // Anything but exactly "0" (an unreadable setting too) means on.
  mCompression = getStringSetting("flp1x.CompressionType", kDcd) != "0";

  mMaxRetries = getIntSetting("MaxRetries", kDcd);
  mMaxRetryWaitTime = minutesToSeconds(getIntSetting("MaxRetryWaitTime", kDcd));
  mRetryIncInterval = minutesToSeconds(getIntSetting("RetryIncInterval", kDcd));
  mRetryWaitAlgo = getIntSetting("RetryWaitAlgo", kDcd);
}

void Flp1xPlatformWrapper::loadProfiles() {
  mAllowDefaultProfile = true;
  mDefaultProfile = getStringSetting("DefaultConnProf", kDcd);
  QV_LOG(8, "DefaultProfile:%s", mDefaultProfile.c_str());
  const std::string profiles = getStringSetting("ConnProfiles", kDcd);
  QV_LOG(8, "ConnProfile:%s", profiles.c_str());
  std::string name;
  std::string flag;
  if (profiles.empty() || !MString::split(profiles, ':', name, flag)) {
    QV_LOG(3, "Get ConnProfiles Error:%s", profiles.c_str());
    return;
  }
  mConnProfile = name;
  if (flag == "false") mAllowDefaultProfile = false;
  QV_LOG(3, "Load Profles, def:%s, Conn:%s, Allow:%d", mDefaultProfile.c_str(), mConnProfile.c_str(),
         mAllowDefaultProfile ? 1 : 0);
}

void Flp1xPlatformWrapper::loadPhoneInfo() {
  qvTypes::String msisdn;
  if (mFacade->getMSISDN(msisdn) != 0) {
    QV_LOG(3, "Can't get MSISDN!");
  } else {
    mMsisdn = toUtf8(msisdn);
  }
  qvTypes::String model;
  if (mFacade->getPhoneModelId(model) != 0) {
    model = L"Z8";
    QV_LOG(3, "Unable to get phone model id. Returning default:Z8.");
  }
  qvTypes::String version;
  if (mFacade->getPhoneSoftwareVersion(version) != 0) {
    version = L"KQRB_N_03XXXX";
    QV_LOG(3, "Unable to get phone software version. Returning default:KQRB_N_03XXXX.");
  }
  mUserAgent = toUtf8(model + L"/" + version + L" FLP/1.6  WebKit/1.0");
}

void Flp1xPlatformWrapper::loadNetworkStatus() {
  mNetworkStatus = 2;
  int status = 1;
  mFacade->getDataNetworkStatus(status);  // its result is not needed: status keeps 1
  if (status == 2) {
    mNetworkStatus = 1;
    mMaxAssetsType2 = textToInt(getStringSetting("flp1x.MaxAssets3GType2", kDcd));
  } else {
    mMaxAssetsType2 = textToInt(getStringSetting("flp1x.MaxAssetsType2", kDcd));
  }
  QV_LOG(3, "mNetworkStatus:%s, mMaxAssetsType2:%d", mNetworkStatus == 2 ? "GPRS" : "3G", mMaxAssetsType2);
}

bool Flp1xPlatformWrapper::isFallbackCode(const std::string& code) const {
  return !code.empty() && mFallbackCodes.find(code) != std::string::npos;
}

bool Flp1xPlatformWrapper::setAppSyncAnchor(const std::string& anchor) {
  mAppSyncAnchor = anchor;
  return setStringSetting("RuntimeValues.AppSyncAnchor", anchor, kDcd);
}

void Flp1xPlatformWrapper::setServerUrl(const std::string& url) { setStringSetting("flp1x.ServerURL", url, kDcd); }

void Flp1xPlatformWrapper::setChannelUrls(const std::string& startPage) {
  setStringSetting("AddNewChannelURL", startPage + "?mc=ListRootcats", kReaderUi);
  setStringSetting("DefineChannelURL", startPage, kReaderUi);
  setStringSetting("ManageChannelURL", startPage + "?mc=MyChannels", kReaderUi);
}

void Flp1xPlatformWrapper::enterNormalMode() { switchMode(kNormalMode, true); }

void Flp1xPlatformWrapper::enterHiddenMode() { switchMode(kHiddenMode, false); }

void Flp1xPlatformWrapper::switchMode(const char* mode, bool sendPlatformMessage) {
  if (getStringSetting("EnabledMode", kSystem) == mode) return;
  setStringSetting("EnabledMode", mode, kSystem);
  if (sendPlatformMessage) {
    ZMsg message(QCString("QPX/HSFRAMEWORK"), QCString("activePlugIn()"), false);
    message << QString("Quorvel");
    message.send();
  }
  QuorvelSettingMgr* mgr = manager();
  if (mgr != nullptr) mgr->notifySettingModeChange(mode);
}

bool Flp1xPlatformWrapper::saveDownloadStatistics(int bytes, int items) {
  bool ok = setIntSetting("RuntimeValues.BytesDownloaded", bytes, kDcd);
  ok = setIntSetting("RuntimeValues.ItemsDownloaded", items, kDcd) && ok;
  long now = TimeValue().seconds();
  ok = setIntSetting("RuntimeValues.LastUpdateTime", now > INT_MAX ? INT_MAX : static_cast<int>(now), kDcd) && ok;
  return ok;
}

int Flp1xPlatformWrapper::categoryId(const std::string& categoryName) {
  static const struct {
    const char* name;
    int id;
  } kCategories[] = {
      {"QVCore.Service", 6}, {"QVCore.Storage", 7}, {"QVCore.System", 8}, {"QVCore.UI", 9}, {"QVNewsReader.UI", 10},
  };
  for (const auto& c : kCategories) {
    if (categoryName == c.name) return c.id;
  }
  return 1;
}

std::string Flp1xPlatformWrapper::getStringSetting(const std::string& key, const std::string& categoryName) {
  QuorvelSettingMgr* mgr = manager();
  if (mgr == nullptr) return std::string();
  qvTypes::String value;
  if (mgr->getString(categoryId(categoryName), key, value) != 0) {
    QV_LOG(3, "Unable to retrieve setting: %s", key.c_str());
    return std::string();
  }
  return toUtf8(value);
}

int Flp1xPlatformWrapper::getIntSetting(const std::string& key, const std::string& categoryName) {
  QuorvelSettingMgr* mgr = manager();
  if (mgr == nullptr) return -1;
  int value = 0;
  if (mgr->getInt(categoryId(categoryName), key, value) != 0) {
    QV_LOG(3, "Unable to retrieve setting: %s", key.c_str());
    return -1;
  }
  return value;
}

bool Flp1xPlatformWrapper::setIntSetting(const std::string& key, int value, const std::string& categoryName) {
  QuorvelSettingMgr* mgr = manager();
  if (mgr == nullptr) return true;
  const int category = categoryId(categoryName);
  int current = 0;
  if (mgr->getInt(category, key, current) != 0) {
    // A key that cannot be read is never written.
    QV_LOG(3, "Unable to retrieve setting: %s", key.c_str());
    return true;
  }
  QV_LOG(7, "current val:%d, want to change to:%d", current, value);
  if (current == value) return true;
  if (mgr->setInt(category, key, value) == 0) return true;
  QV_LOG(3, "Unable to set setting: %s", key.c_str());
  return false;
}

bool Flp1xPlatformWrapper::setStringSetting(const std::string& key, const std::string& value,
                                            const std::string& categoryName) {
  QuorvelSettingMgr* mgr = manager();
  if (mgr == nullptr) return true;
  const int category = categoryId(categoryName);
  const qvTypes::String wanted = MString::toWide(value);
  qvTypes::String current;
  if (mgr->getString(category, key, current) != 0) {
    QV_LOG(3, "Unable to retrieve setting: %s", key.c_str());
    return true;
  }
  QV_LOG(7, "current setting:%s, want to change to %s", toUtf8(current).c_str(), value.c_str());
  if (current.empty() && wanted.empty()) return true;
  if (mgr->setString(category, key, wanted) == 0) return true;
  QV_LOG(3, "Unable to set setting: %s", key.c_str());
  return false;
}
