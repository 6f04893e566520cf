// Helpers of the DCD library tests: a captured log stream and a private
// temporary directory.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/Log.h"

// Collects every log line written while it lives.
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

// A fresh directory, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qv-dcd-XXXXXX").string();
    char* made = mkdtemp(&pattern[0]);
    if (made != nullptr) mPath = made;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!mPath.empty()) std::filesystem::remove_all(mPath, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return mPath; }
  std::string file(const std::string& name) const { return mPath + "/" + name; }

 private:
  std::string mPath;
};

inline std::string readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void writeWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// A seed document of tests/dcd/data.
inline std::string testData(const std::string& name) {
  return readWholeFile(std::string(QV_SOURCE_DIR) + "/tests/dcd/data/" + name);
}
