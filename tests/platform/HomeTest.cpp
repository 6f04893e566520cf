// The state directory: where it is and how it is made ready.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "TempHome.h"
#include "platform/Home.h"

namespace {

TEST(HomeTest, PathComesFromTheEnvironment) {
  TempHome home;
  EXPECT_EQ(home.path(), qvhome::path());
  setenv("QUORVEL_HOME", "", 1);
  EXPECT_EQ("/var/lib/quorvel", qvhome::path());
  unsetenv("QUORVEL_HOME");
  EXPECT_EQ("/var/lib/quorvel", qvhome::path());
}

TEST(HomeTest, EnsureCreatesMissingParents) {
  TempHome home;
  std::string nested = home.file("a/b/c/");
  setenv("QUORVEL_HOME", nested.c_str(), 1);
  mode_t old = umask(022);
  std::string error;
  bool ok = qvhome::ensure(error);
  umask(old);
  ASSERT_TRUE(ok) << error;
  struct stat st;
  ASSERT_EQ(0, stat(home.file("a/b/c").c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(0755u, st.st_mode & 0777u);
  // Nothing is left behind by the writability probe, and a second call is fine.
  EXPECT_TRUE(qvhome::ensure(error)) << error;
  EXPECT_EQ(0, rmdir(home.file("a/b/c").c_str()));
}

TEST(HomeTest, EnsureNamesWhatIsInTheWay) {
  TempHome home;
  std::ofstream(home.file("file")) << "x";
  for (const std::string& path : {home.file("file"), home.file("file/below")}) {
    SCOPED_TRACE(path);
    setenv("QUORVEL_HOME", path.c_str(), 1);
    std::string error;
    EXPECT_FALSE(qvhome::ensure(error));
    EXPECT_NE(std::string::npos, error.find(home.file("file"))) << error;
    EXPECT_EQ(std::string::npos, error.find('\n'));
  }
}

}  // namespace
