// A fresh QUORVEL_HOME for one test: the process-wide settings manager and
// content cache are closed on entry and exit, so each test opens its own.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/ContentCache.h"
#include "platform/Settings.h"

class TempHome {
 public:
  TempHome() {
    char pattern[] = "/tmp/qv-platform-test-XXXXXX";
    char* dir = mkdtemp(pattern);
    EXPECT_NE(dir, nullptr);
    mPath = dir != nullptr ? dir : "/tmp";
    setenv("QUORVEL_HOME", mPath.c_str(), 1);
    closeAll();
  }
  ~TempHome() {
    closeAll();
    unsetenv("QUORVEL_HOME");
    std::error_code ignored;
    std::filesystem::remove_all(mPath, ignored);
  }
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::string& path() const { return mPath; }
  std::string file(const std::string& name) const { return mPath + "/" + name; }

  // Closes both stores, as a restart of the process would.
  static void closeAll() {
    NR_ContentCache::resetForTesting();
    QuorvelSettingMgr::resetForTesting();
  }

 private:
  std::string mPath;
};
