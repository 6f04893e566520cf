// The FLP 2.0 engine's view of its configuration.
//
// At construction every FLP 2.0 key is read once from the platform settings
// manager and held as an optional value (absent: the manager had none, or
// its text did not convert); the rest of the engine reads the held values
// and applies its own defaults. The runtime setters write back through the
// manager; updateSetting applies one server-provisioned setting to the
// manager only (it takes effect in the next engine).
//
// Threads: one object belongs to the engine that owns it and is used on the
// run-loop thread only; it holds no lock. toUtf8/fromUtf8 may be called
// from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "framework/Protocol.h"
#include "platform/Types.h"
#include "transport/DcdTransport.h"

class QuorvelSettingMgr;

namespace flp2 {

// Settings categories the engine uses.
constexpr int kCategoryDcd = 1;      // "QVCore.DCD."
constexpr int kCategorySystem = 8;   // the phone mode
constexpr int kCategoryBypass = 11;  // connection-profile bypass keys

enum class TransportBinding : int32_t { HTTP = 0, FILE = 1 };

enum PhoneMode : int32_t { ENABLED_NORMAL_MODE = 0, DISABLED_NORMAL_MODE = 1, HIDDEN_MODE = 2 };

// Type of a provisioned setting.
enum class SettingType : int32_t {
  STRING = 0,
  BOOLEAN = 1,
  INT = 2,
  LONG = 3,
  LOCALIZED_STRING = 4,
  INT_ARRAY = 5,
  LONG_ARRAY = 6,
  BOOLEAN_ARRAY = 7,
};

// Wide text to UTF-8 bytes and back (invalid UTF-8 becomes U+FFFD).
std::string toUtf8(const qvTypes::String& text);
qvTypes::String fromUtf8(const std::string& bytes);

// "true" is true, "false" false; any other text counts as a number that
// starts out true: a leading 0 gives false, anything else true.
bool parseBoolean(const std::string& text);

// Text conversions of the enumerations (whole text, case-sensitive). The
// parsers log a failure and return false, leaving out untouched.
bool transportBindingFromString(const std::string& text, TransportBinding& out);
bool phoneModeFromString(const std::string& text, PhoneMode& out);
bool resultFromString(const std::string& text, Result& out);
bool settingTypeFromString(const std::string& text, SettingType& out);
// Null for a value outside the enumeration.
const char* phoneModeToString(int mode);
// The empty text for a value outside the four results.
std::string resultToString(int result);

// "a,,b" -> {"a", "b"}: cut at every comma, empty pieces dropped, nothing
// trimmed.
std::vector<std::string> splitList(const std::string& text);

class ProtocolSettings {
 public:
  // Reads every key (see the .cpp for the order) from the process-wide
  // manager.
  ProtocolSettings();
  // The same over a given manager (null: everything stays absent).
  explicit ProtocolSettings(QuorvelSettingMgr* manager);
  ProtocolSettings(const ProtocolSettings&) = delete;
  ProtocolSettings& operator=(const ProtocolSettings&) = delete;
  ~ProtocolSettings();

  // A new transport for this configuration, owned by the caller (HTTP unless
  // the binding says FILE): time-out, gzip flag and connection profiles set.
  std::unique_ptr<DcdTransport> createTransport() const;
  // The connection-profile list createTransport gives a transport: with
  // exactly one ConnProfiles entry its name, followed by the default profile
  // when its flag is true; otherwise the default profile alone.
  std::vector<std::string> connectionProfiles() const;
  // Whole seconds to pause before each asset data request: BetweenNetReq
  // (milliseconds; absent or negative counts as 0) divided by 1000, at
  // least 10.
  long dataRequestPauseSeconds() const;
  // The fallback codes as the transaction layer reads them: each code in
  // ascending order followed by one blank ("404 500 ").
  std::string fallbackCodeText() const;

  // Runtime values: hold the value, then store it (a failed store is logged;
  // the held value is updated anyway).
  void setBytesDownloaded(int bytes);
  void setItemsDownloaded(int items);
  void setLastUpdateTime(int seconds);
  void setNextUpdateTime(int seconds);
  void setLastUpdateResult(int result);
  void setAppSyncAnchor(const std::string& anchor);
  void setPhoneMode(int mode);

  // Applies one server-provisioned setting (full name such as
  // "QVCore.DCD.flp20.ServerURL") to the manager. True when it was written.
  bool updateSetting(const std::string& name, const std::string& value, const std::string& op,
                     const std::string& language, SettingType type);

  // Held values, in the order of their keys' table; read directly by the
  // engine.
  std::optional<bool> mEnable3GDownload;              // "Enable3GDownload"
  std::optional<bool> mEnableServerReq;               // "EnableServerReq"
  std::optional<bool> mEnableTtlRequest;              // "EnableTtlRequest"
  std::optional<bool> mEnableType3Req;                // "EnableType3Req"
  std::optional<bool> mIgnoreProv;                    // "IgnoreProv"
  std::optional<int32_t> mBetweenNetReq;              // "BetweenNetReq", milliseconds
  std::vector<std::string> mContainerNames;           // "ContainerNames"
  std::optional<int32_t> mTimeout;                    // "Timeout", minutes
  std::optional<bool> mEnableGzip;                    // "Transport.EnableGzip"
  std::optional<std::string> mDefaultConnProf;        // "DefaultConnProf"
  std::optional<std::string> mSessionProfile;         // "Bypass.SessionProfile"
  std::optional<std::string> mNoSessionProfile;       // "Bypass.NoSessionProfile"
  std::optional<bool> mIsMsisdnReported;              // "Transport.IsMsisdnReported"
  std::set<int32_t> mFallbackHttpCodes;               // "flp20.FallbackHttpCode"
  std::optional<int32_t> mMaxAssetsType2;             // "flp20.MaxAssetsType2"
  std::optional<int32_t> mMaxAssets3GType2;           // "flp20.MaxAssets3GType2"
  std::optional<std::string> mServerUrl;              // "flp20.ServerURL"
  std::map<std::string, bool> mConnProfiles;          // "ConnProfiles": name -> use default on failure
  std::optional<TransportBinding> mTransportBinding;  // "Transport.DefaultTransport"
  std::optional<int32_t> mNextUpdateTime;             // "RuntimeValues.NextUpdateTime"
  std::optional<Result> mLastUpdateResult;            // "RuntimeValues.LastUpdateResult"
  std::optional<int32_t> mLastUpdateTime;             // "RuntimeValues.LastUpdateTime"
  std::optional<int32_t> mItemsDownloaded;            // "RuntimeValues.ItemsDownloaded"
  std::optional<int32_t> mBytesDownloaded;            // "RuntimeValues.BytesDownloaded"
  std::optional<std::string> mAppSyncAnchor;          // "RuntimeValues.AppSyncAnchor"
  std::optional<PhoneMode> mPhoneMode;                // "EnabledMode"

 private:
  void load();
  std::optional<bool> readBoolean(int category, const char* key);
  std::optional<int32_t> readInt(int category, const char* key);
  std::optional<std::string> readString(int category, const char* key);
  void storeInt(const char* key, int value);
  void storeString(int category, const char* key, const std::string& value);

  QuorvelSettingMgr* mSettingMgr;
};

}  // namespace flp2
