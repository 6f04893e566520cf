// A content update of several channels when the disk fills or fails at any
// write: the cache keeps the old content or takes the new one whole, and
// the update fails whenever a write of it failed.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>
#include <string>

#include "ContentUpdater.h"
#include "Flp2TestSupport.h"
#include "ProtocolSettings.h"
#include "RecordingFacade.h"
#include "StoreCheck.h"
#include "framework/Protocol.h"
#include "txn/Session.h"

namespace {

// Each item fills about half a page, so that the update spans many pages.
std::string item(const std::string& id, const std::string& title) {
  return "<content-set id=\"" + id + "\" name=\"item\"><content name=\"title\">" + title +
         "</content><content name=\"summary\">" + std::string(1500, 's') + "</content></content-set>";
}

std::string feed(const std::string& id, const std::string& anchor, const std::string& items) {
  return "<content-set id=\"" + id + "\" name=\"feed\" sync-anchor=\"" + anchor +
         "\" container=\"container1\" absent-mode=\"remove\"><content name=\"title\">" + id +
         "</content><content name=\"layout\">cs</content>" + items + "</content-set>";
}

// Three channels; the update drops c1, rewrites c2 (an item goes, one
// comes), keeps c3 as it is and adds c4 and c5.
const std::string kOld = feed("c1", "A1", item("i11", "one") + item("i12", "two")) +
                         feed("c2", "A1", item("i21", "one") + item("i22", "two")) +
                         feed("c3", "A1", item("i31", "one"));
const std::string kNew = feed("c2", "A2", item("i22", "two") + item("i23", "three")) +
                         feed("c3", "A1", item("i31", "one")) +
                         feed("c4", "A2", item("i41", "one") + item("i42", "two") + item("i43", "three")) +
                         feed("c5", "A2", item("i51", "one"));

class Flp2StoreTest : public ::testing::Test {
 protected:
  int apply(const std::string& contentSets) {
    std::unique_ptr<txn::ContentUpdateResponse> answer = flp2test::response(contentSets);
    if (!answer) return -1;
    ProtocolRequest request(ProtocolRequest::MANUAL);
    txn::Session session;
    flp2::ProtocolSettings engineSettings;
    flp2::ContentUpdater updater(&request, "container1", &session, &engineSettings);
    return updater.applyContentUpdate(*answer);
  }

  flp2test::LogCapture log;
  RecordingFacade facade;
  std::unique_ptr<flp2test::TempHome> home;
};

class Flp2StoreFaultTest : public Flp2StoreTest, public ::testing::WithParamInterface<storecheck::FaultMode> {};

TEST_P(Flp2StoreFaultTest, EveryWritePositionLeavesTheOldOrTheWholeNewContent) {
  // Spills in the middle of the update, not only at its commit.
  qvfault::setPageCacheLimit(4);
  storecheck::SweepResult r = storecheck::sweep(
      GetParam(),
      [this] {
        home.reset();
        home.reset(new flp2test::TempHome);
        EXPECT_EQ(SUCCESS, apply(kOld));
        return home->path() + "/cache.db";
      },
      [this] { return apply(kNew) == SUCCESS; });
  // Every write of the update is needed: whichever one fails, it fails.
  qvfault::setPageCacheLimit(0);
  EXPECT_EQ(r.positions, r.failedUpdates);
  RecordProperty("positions", r.positions);
  home.reset();
}

// Another process holds the cache's write lock longer than the lock-wait
// setting: the update fails and nothing of it is written, not even one by
// one.
TEST_F(Flp2StoreTest, ALockHeldAcrossTheUpdateFailsItAndKeepsTheOldContent) {
  home.reset(new flp2test::TempHome);
  ASSERT_EQ(0, flp2test::settings().setInt(7, "LockWaitSeconds", 1));
  ASSERT_EQ(SUCCESS, apply(kOld));
  const storecheck::Snapshot before = storecheck::snapshot(home->path() + "/cache.db");
  storecheck::LockHolder holder(home->path() + "/cache.db", false);
  ASSERT_TRUE(holder.held);
  EXPECT_EQ(FAILED, apply(kNew));
  holder.release();
  EXPECT_TRUE(before.rows == storecheck::snapshot(home->path() + "/cache.db").rows);
  EXPECT_TRUE(log.contains("Cannot begin a batch of content-cache writes; none of its writes is made"));
  EXPECT_EQ(SUCCESS, apply(kNew));  // once the lock is gone
  home.reset();
}

INSTANTIATE_TEST_SUITE_P(Faults, Flp2StoreFaultTest, ::testing::ValuesIn(storecheck::faultModes()),
                         [](const ::testing::TestParamInfo<storecheck::FaultMode>& info) {
                           return info.param.persistent ? std::string("DiskFull") : std::string("OneIoError");
                         });

// A home on a 3 MiB file system and an answer that cannot fit: the update
// fails and the old content stays as it was; a later update that fits is
// stored whole.
TEST_F(Flp2StoreTest, AnUpdateThatDoesNotFitASmallFileSystemFailsAndKeepsTheOldContent) {
  const std::string smallHome = storecheck::smallHome();
  if (smallHome.empty()) {
    storecheck::runOnSmallFilesystem(3 * 1024);
    return;
  }
  ASSERT_EQ(0, ::mkdir(smallHome.c_str(), 0755));
  ::setenv("QUORVEL_HOME", smallHome.c_str(), 1);
  flp2test::TempHome::closeAll();
  ASSERT_EQ(SUCCESS, apply(kOld));
  const storecheck::Snapshot before = storecheck::snapshot(smallHome + "/cache.db");

  // 22 channels of 100 items of 3.5 KB: about 7.5 MB.
  std::string large;
  const std::string text(2000, 't');
  for (int c = 0; c < 22; ++c) {
    std::string items;
    for (int i = 0; i < 100; ++i) items += item("L" + std::to_string(c) + "-" + std::to_string(i), text);
    large += feed("L" + std::to_string(c), "B1", items);
  }
  EXPECT_EQ(FAILED, apply(large));
  const storecheck::Snapshot after = storecheck::snapshot(smallHome + "/cache.db");
  EXPECT_EQ("ok", after.integrity);
  EXPECT_TRUE(after.dangling.empty());
  EXPECT_TRUE(before.rows == after.rows) << "the failed update changed the store";

  EXPECT_EQ(SUCCESS, apply(kNew));
  const storecheck::Snapshot fitted = storecheck::snapshot(smallHome + "/cache.db");
  EXPECT_EQ("ok", fitted.integrity);
  EXPECT_TRUE(fitted.dangling.empty());
  Container container;
  ASSERT_EQ(0, flp2test::cache().get("container1", container));
  EXPECT_EQ((std::vector<qvTypes::ID>{"c2", "c3", "c4", "c5"}), container.getChannelIds());
  flp2test::TempHome::closeAll();
}

}  // namespace
