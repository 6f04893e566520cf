// Shared set-up of the FLP 1.x tests: a fresh QUORVEL_HOME per test (the
// process-wide stores, wrapper and model are dropped on entry and exit), a
// fixed clock, and the sample files.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "Flp1xPlatformWrapper.h"
#include "Model.h"
#include "TimeValue.h"
#include "platform/ContentCache.h"
#include "platform/Settings.h"

namespace flp1xtest {

// The phone's "now" in the tests: 2026-01-01T00:00:00Z.
constexpr long kNow = 1767225600;
inline long fixedNow() { return kNow; }

class FreshHome {
 public:
  FreshHome() {
    char pattern[] = "/tmp/qv-flp1x-test-XXXXXX";
    char* dir = mkdtemp(pattern);
    EXPECT_NE(dir, nullptr);
    mPath = dir != nullptr ? dir : "/tmp";
    setenv("QUORVEL_HOME", mPath.c_str(), 1);
    closeAll();
    TimeValue::setClockForTesting(&fixedNow);
  }
  ~FreshHome() {
    TimeValue::setClockForTesting(nullptr);
    closeAll();
    unsetenv("QUORVEL_HOME");
    std::error_code ignored;
    std::filesystem::remove_all(mPath, ignored);
  }
  FreshHome(const FreshHome&) = delete;
  FreshHome& operator=(const FreshHome&) = delete;

  const std::string& path() const { return mPath; }

  static void closeAll() {
    ModelFacade::resetForTesting();
    Flp1xPlatformWrapper::resetForTesting();
    NR_ContentCache::resetForTesting();
    QuorvelSettingMgr::resetForTesting();
  }

  static QuorvelSettingMgr& settings() {
    QuorvelSettingMgr* mgr = QuorvelSettingMgr::getSettingMgrInstance();
    EXPECT_NE(nullptr, mgr);
    return *mgr;
  }
  static NR_ContentCache& cache() {
    NR_ContentCache* c = NR_ContentCache::getInstance();
    EXPECT_NE(nullptr, c);
    return *c;
  }

 private:
  std::string mPath;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << path;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string sample(const std::string& name) {
  return readFile(std::string(QV_SOURCE_DIR) + "/samples/flp1x/" + name);
}

}  // namespace flp1xtest
