// Log lines under systemd: when the log stream is the journal stream, every
// message is one record with its syslog priority; elsewhere the text stays
// exactly as formatted.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "Process.h"
#include "platform/Log.h"

namespace {

class JournalLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = qvtest::makeTempDir("qvjournal");
    ASSERT_FALSE(dir.empty());
    path = dir + "/log";
    stream = std::fopen(path.c_str(), "w+");
    ASSERT_NE(nullptr, stream);
    librunlog_to_module_ptr = stream;
  }
  void TearDown() override {
    librunlog_to_module_ptr = nullptr;
    if (stream != nullptr) std::fclose(stream);
    unsetenv("JOURNAL_STREAM");
    qvtest::removeTree(dir);
  }
  // Points JOURNAL_STREAM at the log file (as systemd does for the stream
  // it connects), or at another file.
  void journalIs(const std::string& file) {
    struct stat st;
    ASSERT_EQ(0, ::stat(file.c_str(), &st));
    const std::string value = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    setenv("JOURNAL_STREAM", value.c_str(), 1);
  }
  std::string written() {
    std::fflush(stream);
    return qvtest::readFile(path);
  }

  std::string dir;
  std::string path;
  FILE* stream = nullptr;
};

TEST_F(JournalLogTest, EachMessageIsOneRecordWithItsPriority) {
  journalIs(path);
  ASSERT_TRUE(qvlog::isJournal(stream));
  QV_LOG(3, "first %d", 1);
  QV_LOG(7, "two\nlines");
  QV_LOG(3, "ends its own line\n");
  QV_LOG(8, "debug is never written");
  const std::string prefix = "[~~~~quorvel~~~~]";
  const std::string text = written();
  // Every line starts with a priority; the second message's second line too.
  EXPECT_NE(std::string::npos, text.find(")" + prefix + "first 1\n<7>(")) << text;
  EXPECT_NE(std::string::npos, text.find(")" + prefix + "two\n<7>lines\n<3>(")) << text;
  EXPECT_NE(std::string::npos, text.find(")" + prefix + "ends its own line\n")) << text;
  EXPECT_EQ(0u, text.find("<3>(tests/system/JournalLogTest.cpp:")) << text;
  EXPECT_EQ(std::string::npos, text.find("debug")) << text;
  EXPECT_EQ('\n', text.back());
}

TEST_F(JournalLogTest, OutsideTheJournalTheTextStaysAsFormatted) {
  const std::string other = dir + "/other";
  std::fclose(std::fopen(other.c_str(), "w"));
  for (const char* journal : {"", "garbage", "other"}) {
    ASSERT_EQ(stream, std::freopen(path.c_str(), "w+", stream));
    if (std::string(journal) == "other") {
      journalIs(other);
    } else if (*journal != '\0') {
      setenv("JOURNAL_STREAM", journal, 1);
    } else {
      unsetenv("JOURNAL_STREAM");
    }
    QV_LOG(3, "a");
    QV_LOG(3, "b");
    const std::string text = written();
    EXPECT_EQ(std::string::npos, text.find('<')) << journal << ": " << text;
    EXPECT_EQ(std::string::npos, text.find('\n')) << journal << ": " << text;
    EXPECT_NE(std::string::npos, text.find("]a(tests/system/JournalLogTest.cpp:")) << journal << ": " << text;
  }
}

}  // namespace
