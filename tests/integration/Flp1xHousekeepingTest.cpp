// The real flp1xsvc against nr-testserver: after a successful update the
// content cache keeps only what its containers reach (with grace 0), and
// below the floor of free space the asset stages are skipped.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "Flp1xDaemonFixture.h"

namespace {

namespace fs = std::filesystem;

// A sync package of one channel "news" with one entry naming one image.
std::string package(const std::string& anchor, const std::string& entry, const std::string& image) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<sync-pkg><meta><global-meta anchor=\"" + anchor +
         "\" ttl=\"0\" server-time=\"1767225600000\"/><feed-meta ctxt-id=\"news\" anchor=\"" + anchor +
         "\" target=\"idle\"/></meta><feed ctxt-id=\"news\"><title>news</title><entry ctxt-id=\"" + entry +
         "\"><title>" + entry + "</title><content type=\"image/png\" name=\"c1\" ctxt-id=\"" + image +
         "\"/></entry></feed></sync-pkg>";
}

class Flp1xHousekeepingTest : public flp1xit::Flp1xDaemonTest {
 protected:
  std::set<std::string> items() {
    closeStores();
    std::vector<qvTypes::ID> ids = cache().listItemIds();
    return std::set<std::string>(ids.begin(), ids.end());
  }
  std::set<std::string> assetFiles() {
    std::set<std::string> out;
    if (!fs::exists(home + "/assets")) return out;
    for (const auto& e : fs::directory_iterator(home + "/assets")) out.insert(e.path().filename().string());
    return out;
  }
};

TEST_F(Flp1xHousekeepingTest, AfterASuccessfulUpdateOnlyTheLiveSetStaysWithGraceZero) {
  startServer();
  ASSERT_EQ(0, QuorvelSettingMgr::getSettingMgrInstance()->setInt(7, "OrphanGraceSeconds", 0));
  writeFile(root + "/flp/index.xml", package("g-1", "n1", "a1.png"));
  writeFile(root + "/a1.png", "one");
  writeFile(root + "/a2.png", "two");
  startDaemon();
  ASSERT_EQ(SUCCESS, update()) << lastOut;
  EXPECT_EQ((std::set<std::string>{"a1.png"}), assetFiles());

  writeFile(root + "/flp/index.xml", package("g-2", "n2", "a2.png"));
  ASSERT_EQ(SUCCESS, update()) << lastOut;
  EXPECT_EQ((std::set<std::string>{"n2"}), items());
  closeStores();
  EXPECT_EQ(1u, assets().size());
  EXPECT_EQ("two", assets()["a2.png"].second);
  EXPECT_EQ((std::set<std::string>{"a2.png"}), assetFiles());
}

TEST_F(Flp1xHousekeepingTest, BelowTheFreeSpaceFloorTheAssetStagesAreSkipped) {
  startServer();
  writeFile(root + "/flp/index.xml", package("g-1", "n1", "a1.png"));
  writeFile(root + "/a1.png", "one");
  startDaemon({{"QUORVEL_TEST_FREE_KB", "100"}});
  EXPECT_EQ(FAILED, update()) << lastOut;
  EXPECT_NE(std::string::npos,
            daemon->out().find("Asset downloads skipped: 100 KB free, below the floor of 10240 KB "
                               "(QVCore.Storage.MinFreeKB)"))
      << daemon->out();
  EXPECT_EQ((std::set<std::string>{"n1"}), items()) << "the content is stored";
  EXPECT_TRUE(assetFiles().empty());
  for (const std::string& kind : requestKinds()) EXPECT_EQ(0u, kind.rfind("type-1", 0)) << kind;
}

}  // namespace
