// The session store and its session file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "DcdTestSupport.h"
#include "txn/Session.h"

using txn::FileSession;
using txn::Session;

class SessionFile : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(mDir.path().empty());
    mPath = mDir.file("qvsession");
    setenv("QUORVEL_SESSION_FILE", mPath.c_str(), 1);
  }
  void TearDown() override { unsetenv("QUORVEL_SESSION_FILE"); }

  TempDir mDir;
  std::string mPath;
};

TEST(SessionStore, AttributesAndTransactionIds) {
  Session plain;
  EXPECT_EQ(plain.getAttribute("subscriber-id"), "");
  plain.setAttribute(txn::kAttrSubscriberId, "+15550100");
  plain.setAttribute(txn::kAttrSubscriberId, "+15550199");
  EXPECT_EQ(plain.getAttribute("subscriber-id"), "+15550199");
  EXPECT_FALSE(plain.nextTransactionId().has_value());
  EXPECT_FALSE(plain.getCurrentSessionId().has_value());
  EXPECT_FALSE(plain.isValid());

  FileSession store("/nonexistent-dir/qvsession");
  EXPECT_EQ(store.nextTransactionId(), std::optional<std::string>("0"));
  EXPECT_EQ(store.nextTransactionId(), std::optional<std::string>("1"));
  EXPECT_EQ(FileSession("/nonexistent-dir/qvsession").nextTransactionId(), std::optional<std::string>("0"))
      << "each store counts on its own";
}

TEST_F(SessionFile, PathComesFromTheEnvironment) {
  EXPECT_EQ(FileSession().getPath(), mPath);
  unsetenv("QUORVEL_SESSION_FILE");
  EXPECT_EQ(FileSession().getPath(), "/tmp/qvsession");
}

TEST_F(SessionFile, IdSurvivesARestartUntilDropped) {
  FileSession store;
  LogCapture log;
  EXPECT_EQ(store.getCurrentSessionId(), std::optional<std::string>(""));
  EXPECT_FALSE(store.isValid());
  EXPECT_TRUE(log.contains("[18344]Could not find the session file " + mPath));

  store.writeSessionId("SESSION-42");
  EXPECT_EQ(readWholeFile(mPath), "SESSION-42") << "exactly the id's bytes";
  struct stat st;
  ASSERT_EQ(stat(mPath.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  FileSession restarted;
  EXPECT_TRUE(restarted.isValid());
  EXPECT_EQ(restarted.getCurrentSessionId(), std::optional<std::string>("SESSION-42"));

  restarted.writeSessionId("S2");
  EXPECT_EQ(store.getCurrentSessionId(), std::optional<std::string>("S2")) << "a new id replaces the old one";

  store.setValid(false);
  EXPECT_FALSE(store.isValid());
  EXPECT_EQ(store.getCurrentSessionId(), std::optional<std::string>(""));
  ASSERT_EQ(stat(mPath.c_str(), &st), 0) << "the file stays, empty";
  EXPECT_EQ(st.st_size, 0);
}

TEST_F(SessionFile, LongFileYieldsItsFirst256Bytes) {
  std::string content;
  for (int i = 0; i < 300; ++i) content += static_cast<char>('a' + i % 26);
  writeWholeFile(mPath, content);
  FileSession store;
  EXPECT_EQ(store.getCurrentSessionId(), std::optional<std::string>(content.substr(0, 256)));

  char small[11];
  EXPECT_EQ(store.readSessionFromFile(small, 10), 10);
  EXPECT_EQ(std::string(small), content.substr(0, 10));
  LogCapture log;
  EXPECT_EQ(store.readSessionFromFile(nullptr, 10), -1);
  EXPECT_TRUE(log.contains("[18344]Pass a NULL buf to readSessionFromFile"));
}

TEST_F(SessionFile, SomethingOtherThanAFileIsNoSessionAndIsNeverWritten) {
  const std::string target = mDir.file("target");
  writeWholeFile(target, "planted");
  struct Case {
    const char* what;
    int (*make)(const std::string& path, const std::string& target);
    const char* logLine;
  };
  const Case cases[] = {
      {"symbolic link", [](const std::string& p, const std::string& t) { return symlink(t.c_str(), p.c_str()); },
       "is a symbolic link"},
      {"dangling symbolic link",
       [](const std::string& p, const std::string& t) { return symlink((t + ".missing").c_str(), p.c_str()); },
       "is a symbolic link"},
      {"named pipe", [](const std::string& p, const std::string&) { return mkfifo(p.c_str(), 0600); },
       "is not a regular file"},
      {"directory", [](const std::string& p, const std::string&) { return mkdir(p.c_str(), 0700); },
       "is not a regular file"},
  };
  for (const Case& c : cases) {
    std::error_code ignored;
    std::filesystem::remove_all(mPath, ignored);
    ASSERT_EQ(c.make(mPath, target), 0) << c.what;
    LogCapture log;
    FileSession store;
    EXPECT_FALSE(store.isValid()) << c.what;
    EXPECT_EQ(store.getCurrentSessionId(), std::optional<std::string>("")) << c.what;
    store.writeSessionId("attacker-chosen");
    store.setValid(false);
    EXPECT_TRUE(log.contains(c.logLine)) << c.what << ": " << log.text();
    EXPECT_EQ(readWholeFile(target), "planted") << c.what;
    EXPECT_FALSE(std::filesystem::exists(target + ".missing")) << c.what;
  }
}
