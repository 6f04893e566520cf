// Helpers of the FLP 2.0 engine's unit tests: a fresh QUORVEL_HOME per
// fixture (settings store and content cache reopened inside it) and DCD
// answers written as XML and read with the real syntax.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/ContentCache.h"
#include "platform/Log.h"
#include "platform/Settings.h"
#include "syntax/XmlSyntax.h"
#include "txn/Primitives.h"

namespace flp2test {

// Collects the log lines written while it lives (instead of printing them).
class LogCapture {
 public:
  LogCapture() : mSaved(librunlog_to_module_ptr) {
    mStream = open_memstream(&mBuffer, &mSize);
    librunlog_to_module_ptr = mStream;
  }
  ~LogCapture() {
    librunlog_to_module_ptr = mSaved;
    std::fclose(mStream);
    std::free(mBuffer);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string text() {
    std::fflush(mStream);
    return std::string(mBuffer, mSize);
  }
  bool contains(const std::string& needle) { return text().find(needle) != std::string::npos; }

 private:
  FILE* mSaved;
  FILE* mStream;
  char* mBuffer = nullptr;
  size_t mSize = 0;
};

class TempHome {
 public:
  TempHome() {
    char pattern[] = "/tmp/qv-flp2-test-XXXXXX";
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
  static void closeAll() {
    NR_ContentCache::resetForTesting();
    QuorvelSettingMgr::resetForTesting();
  }

 private:
  std::string mPath;
};

inline QuorvelSettingMgr& settings() { return *QuorvelSettingMgr::getSettingMgrInstance(); }
inline NR_ContentCache& cache() { return *NR_ContentCache::getInstance(); }

// A content-update response whose application holds the given children
// (content sets written as XML).
inline std::unique_ptr<txn::ContentUpdateResponse> response(
    const std::string& applicationChildren,
    const std::string& applicationAttributes = "absent-mode=\"remove\" update-ttl=\"3600\"") {
  const std::string xml =
      "<dcd version=\"0.8\"><content-update-response>"
      "<application id=\"x-oma-kestrova:quorvel.ua\" name=\"NewsReader\" sync-anchor=\"APP-1\" " +
      applicationAttributes + ">" + applicationChildren + "</application></content-update-response></dcd>";
  dcd::XmlSyntax syntax;
  std::unique_ptr<txn::Primitive> p = syntax.marshall({}, xml.data(), static_cast<long>(xml.size()), "UTF-8");
  EXPECT_TRUE(p != nullptr) << xml;
  if (!p) return nullptr;
  EXPECT_EQ("ContentUpdateResponse", p->getType()) << xml;
  return std::unique_ptr<txn::ContentUpdateResponse>(static_cast<txn::ContentUpdateResponse*>(p.release()));
}

}  // namespace flp2test
