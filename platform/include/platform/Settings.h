// The settings manager: typed values (int, boolean, string) by category
// number and key, kept in SQLite under QUORVEL_HOME ("settings.db").
//
// Categories: 1 "QVCore.DCD", 6 "QVCore.Service", 7 "QVCore.Storage",
// 8 "QVCore.System", 9 "QVCore.UI", 10 "QVNewsReader.UI", 11 "QVCore.Bypass"
// (the "Bypass." keys), 12 "QVDevice" (device facts read by the facade);
// 13 means "no category".
//
// Threads: every operation may be called from any thread; calls are
// serialised inside. A write is durable when the call returns (the store is
// shared with other processes, e.g. nrctl, which may write at the same time).
//
// Defaults: the settings of a fresh install are compiled in from
// platform/defaults/settings-defaults.conf. Whenever the store is opened,
// each default whose (category, key) the store does not hold is written;
// stored values are never replaced. A key that is removed therefore comes
// back with its default at the next open. docs/settings.md lists them.
//
// A full setting name is the category name, ".", and the key:
// "QVCore.DCD.flp20.ServerURL" is key "flp20.ServerURL" of category 1, and
// "QVCore.Bypass.Bypass.SessionProfile" is key "Bypass.SessionProfile" of
// category 11. Writing a key with another type replaces its type.
#pragma once

#include <string>
#include <vector>

#include "platform/Types.h"

class QuorvelSettingMgr {
 public:
  static constexpr int kNoCategory = 13;

  enum class Type { INT, BOOLEAN, STRING };
  struct Entry {
    int category;
    std::string key;
    Type type;
    std::string value;  // decimal, "true"/"false", or the UTF-8 text
  };

  // The process-wide manager, or null when the store cannot be opened (the
  // reason is logged once).
  static QuorvelSettingMgr* getSettingMgrInstance();

  // 0 on success. A read of a missing key, or of a key stored with another
  // type, fails and leaves value untouched.
  int getInt(int category, const std::string& key, int& value);
  int getBoolean(int category, const std::string& key, bool& value);
  int getString(int category, const std::string& key, qvTypes::String& value);
  int setInt(int category, const std::string& key, int value);
  int setBoolean(int category, const std::string& key, bool value);
  int setString(int category, const std::string& key, const qvTypes::String& value);

  // Category number of a full setting name ("QVCore.DCD.flp20.ServerURL" is
  // category 1); kNoCategory when the name is in none.
  int getCategory(const qvTypes::String& fullName);

  // Publishes the phone-mode change as an event (topic
  // NR_Constants::EVENT_SETTING_MODE_CHANGE, property "mode"). 0 on success.
  int notifySettingModeChange(const std::string& mode);

  // How long the stores wait for another process's lock: the setting
  // "QVCore.Storage.LockWaitSeconds" (0 to 3600 s) in milliseconds, its
  // default (30 s) when it is unset, out of range or the store is closed.
  static int lockWaitMillis();

  // Platform extras for tools.
  int remove(int category, const std::string& key);
  std::vector<Entry> list();
  // The compiled-in defaults, in file order (a line that does not parse is
  // logged once and left out).
  static const std::vector<Entry>& defaults();
  static const char* categoryName(int category);  // null for an unknown number
  // Splits a full name into category and key; false when it has no category.
  static bool splitFullName(const std::string& fullName, int& category, std::string& key);
  // "int", "boolean", "string", and back; false for another text.
  static const char* typeName(Type type);
  static bool parseType(const std::string& text, Type& type);

  // Closes the process-wide manager so that the next getSettingMgrInstance
  // opens the store under the QUORVEL_HOME then in force (tests). Call only
  // while no other thread uses the manager; pointers obtained before are
  // invalid.
  static void resetForTesting();

  ~QuorvelSettingMgr();
  QuorvelSettingMgr(const QuorvelSettingMgr&) = delete;
  QuorvelSettingMgr& operator=(const QuorvelSettingMgr&) = delete;
  class Impl;

 private:
  explicit QuorvelSettingMgr(Impl* impl);  // takes ownership
  Impl* mImpl;
};
