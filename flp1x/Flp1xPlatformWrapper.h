// The FLP 1.x engine's one contact with the phone: the settings manager and
// the event-and-status facade.
//
// At construction it reads, once, what the engine needs (connection
// profiles, MSISDN, user agent, server URL, sync anchor, download limits,
// compression, retry settings) and keeps it for the life of the process;
// later setting changes are seen after a restart, except the sync anchor,
// which setAppSyncAnchor updates in memory too. It writes back what the
// engine learns: the sync anchor, download statistics, the server and
// channel URLs of a provisioning push and the news reader's on/off mode.
//
// Writes: a setting is written only when it can be read first, so every key
// written here must exist in the store; the store's shipped defaults
// (platform/defaults/settings-defaults.conf) provide them on a fresh
// install.
//
// Threads: no lock. The instance is created and used on the run-loop
// thread; getInstance is not meant for two threads at once.
#pragma once

#include <string>

class QV_EventAndStatusFacade;

class Flp1xPlatformWrapper {
 public:
  // The process-wide wrapper, made (and loaded) by the first call.
  static Flp1xPlatformWrapper* getInstance();
  // Drops the process-wide wrapper so that the next getInstance loads anew
  // (tests). Pointers obtained before are invalid.
  static void resetForTesting();

  // Loads at once through facade (may be null: then nothing is loaded).
  explicit Flp1xPlatformWrapper(QV_EventAndStatusFacade* facade);
  Flp1xPlatformWrapper(const Flp1xPlatformWrapper&) = delete;
  Flp1xPlatformWrapper& operator=(const Flp1xPlatformWrapper&) = delete;

  const std::string& getMsisdn() const { return mMsisdn; }
  const std::string& getBaseUrl() const { return mBaseUrl; }
  const std::string& getUserAgent() const { return mUserAgent; }
  const std::string& getAppSyncAnchor() const { return mAppSyncAnchor; }
  const std::string& getDefaultProfile() const { return mDefaultProfile; }
  const std::string& getConnProfile() const { return mConnProfile; }
  const std::string& getFallbackCodes() const { return mFallbackCodes; }
  bool isCompressionEnabled() const { return mCompression; }
  bool isDefaultProfileAllowed() const { return mAllowDefaultProfile; }
  int getMaxAssetsType2() const { return mMaxAssetsType2; }
  int getRetryWaitAlgo() const { return mRetryWaitAlgo; }
  int getRetryIncInterval() const { return mRetryIncInterval; }  // seconds
  int getMaxRetryWaitTime() const { return mMaxRetryWaitTime; }  // seconds
  int getMaxRetries() const { return mMaxRetries; }
  int getNetworkStatus() const { return mNetworkStatus; }  // 1 3G, 2 GPRS
  int getDownloadOption() const { return mDownloadOption; }

  // True when code occurs anywhere in the configured fallback codes (a
  // plain text search); the empty text is no code.
  bool isFallbackCode(const std::string& code) const;

  // False when the settings store refused the write (logged).
  bool setAppSyncAnchor(const std::string& anchor);
  // Writes "flp1x.ServerURL"; getBaseUrl keeps the loaded value.
  void setServerUrl(const std::string& url);
  // Writes the three news-reader URLs derived from the start page.
  void setChannelUrls(const std::string& startPage);
  // The news reader's on and off switches: each writes "EnabledMode" and
  // notifies the mode change only when the mode changes; switching on also
  // sends the platform message "activePlugIn()".
  void enterNormalMode();
  void enterHiddenMode();
  // Writes the byte and item counts of an update and the time it ended;
  // false when the settings store refused a write (logged).
  bool saveDownloadStatistics(int bytes, int items);

  // Settings access by key and category name ("QVCore.System" and so on;
  // any other name is category 1). Reads give "" or -1 when the setting
  // cannot be read.
  static std::string getStringSetting(const std::string& key, const std::string& categoryName);
  static int getIntSetting(const std::string& key, const std::string& categoryName);
  // False only when the settings store refused the write (logged); a
  // setting that cannot be read is left alone, as is an unchanged value.
  static bool setStringSetting(const std::string& key, const std::string& value, const std::string& categoryName);
  static bool setIntSetting(const std::string& key, int value, const std::string& categoryName);
  static int categoryId(const std::string& categoryName);

 private:
  void load();
  void loadProfiles();
  void loadPhoneInfo();
  void loadNetworkStatus();
  void switchMode(const char* mode, bool sendPlatformMessage);

  std::string mMsisdn;
  std::string mBaseUrl;
  std::string mUserAgent;
  std::string mAppSyncAnchor;
  std::string mDefaultProfile;
  std::string mConnProfile;
  std::string mFallbackCodes;
  int mMaxAssetsType2 = 0;
  int mRetryWaitAlgo = 0;
  int mRetryIncInterval = 0;
  int mMaxRetryWaitTime = 0;
  int mMaxRetries = 0;
  int mNetworkStatus = 0;
  int mDownloadOption = 0;
  bool mCompression = false;
  bool mAllowDefaultProfile = false;
  QV_EventAndStatusFacade* mFacade;
};
