// A sync of several feeds when the disk fills or fails at any write: the
// cache keeps the old content or takes the new one whole, and the update
// fails whenever a write of it failed.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "Flp1xContentUpdater.h"
#include "Flp1xTestSupport.h"
#include "RecordingFacade.h"
#include "ScriptedTransport.h"
#include "StoreCheck.h"

namespace {

using flp1xtest::FreshHome;

// Each entry fills about half a page, so that the sync spans many pages.
std::string entry(const std::string& id, const std::string& title) {
  return "<entry ctxt-id=\"" + id + "\"><title>" + title + "</title><summary>" + std::string(1500, 's') +
         "</summary></entry>";
}

std::string feed(const std::string& id, const std::string& entries) {
  return "<feed ctxt-id=\"" + id + "\"><title>" + id + "</title>" + entries + "</feed>";
}

std::string pkg(const std::string& anchor, const std::vector<std::string>& feedIds, const std::string& feeds) {
  std::string meta;
  for (const std::string& id : feedIds) meta += "<feed-meta ctxt-id=\"" + id + "\" anchor=\"" + id + "-" + anchor + "\" target=\"idle\"/>";
  return "<sync-pkg><meta><global-meta anchor=\"" + anchor + "\" ttl=\"0\" server-time=\"1767225600000\"/>" + meta +
         "</meta>" + feeds + "</sync-pkg>";
}

// Three feeds; the sync drops f1, rewrites f2 (an entry goes, one comes),
// keeps f3 and adds f4 and f5.
const std::string kOld = pkg("g1", {"f1", "f2", "f3"},
                             feed("f1", entry("e11", "one") + entry("e12", "two")) +
                                 feed("f2", entry("e21", "one") + entry("e22", "two")) + feed("f3", entry("e31", "one")));
const std::string kNew =
    pkg("g2", {"f2", "f3", "f4", "f5"},
        feed("f2", entry("e22", "two") + entry("e23", "three")) + feed("f3", entry("e31", "one")) +
            feed("f4", entry("e41", "one") + entry("e42", "two") + entry("e43", "three")) + feed("f5", entry("e51", "one")));

class Flp1xStoreTest : public ::testing::Test {
 protected:
  int sync(const std::string& xml) {
    auto script = std::make_shared<flp1xtest::Script>();
    script->answers = {flp1xtest::package(xml)};
    Flp1xContentUpdater updater("container1");
    updater.setTransportFactory([script] { return new flp1xtest::ScriptedTransport(script); });
    ProtocolRequest request(ProtocolRequest::MANUAL);
    return updater.update(&request).mCode;
  }

  RecordingFacade facade;
  LogCapture log;
  std::unique_ptr<FreshHome> home;
};

class Flp1xStoreFaultTest : public Flp1xStoreTest, public ::testing::WithParamInterface<storecheck::FaultMode> {};

TEST_P(Flp1xStoreFaultTest, EveryWritePositionLeavesTheOldOrTheWholeNewContent) {
  // Spills in the middle of the update, not only at its commit.
  qvfault::setPageCacheLimit(4);
  storecheck::SweepResult r = storecheck::sweep(
      GetParam(),
      [this] {
        home.reset();
        home.reset(new FreshHome);
        EXPECT_EQ(0, FreshHome::settings().setString(1, "flp1x.ServerURL", L"http://srv.example:8080/flp"));
        EXPECT_EQ(SUCCESS, sync(kOld));
        return home->path() + "/cache.db";
      },
      [this] { return sync(kNew) == SUCCESS; });
  qvfault::setPageCacheLimit(0);
  EXPECT_EQ(r.positions, r.failedUpdates);
  RecordProperty("positions", r.positions);
  home.reset();
}

// Another process holds the cache's write lock longer than the lock-wait
// setting: the sync fails, nothing of it is written and the anchor stays.
TEST_F(Flp1xStoreTest, ALockHeldAcrossTheSyncFailsItAndKeepsTheOldContent) {
  home.reset(new FreshHome);
  ASSERT_EQ(0, FreshHome::settings().setString(1, "flp1x.ServerURL", L"http://srv.example:8080/flp"));
  ASSERT_EQ(0, FreshHome::settings().setInt(7, "LockWaitSeconds", 1));
  ASSERT_EQ(SUCCESS, sync(kOld));
  const storecheck::Snapshot before = storecheck::snapshot(home->path() + "/cache.db");
  storecheck::LockHolder holder(home->path() + "/cache.db", false);
  ASSERT_TRUE(holder.held);
  EXPECT_EQ(FAILED, sync(kNew));
  holder.release();
  EXPECT_TRUE(before.rows == storecheck::snapshot(home->path() + "/cache.db").rows);
  EXPECT_EQ("g1", Flp1xPlatformWrapper::getStringSetting("RuntimeValues.AppSyncAnchor", "QVCore.DCD"));
  EXPECT_EQ(SUCCESS, sync(kNew));  // once the lock is gone
  home.reset();
}

// The content is committed but the settings store cannot take the new
// anchor (a disk that is still full): the sync must not report success, and
// the old anchor makes the server send the content again.
TEST_F(Flp1xStoreTest, ASyncWhoseAnchorCannotBeWrittenFails) {
  ASSERT_TRUE(qvfault::install());
  home.reset(new FreshHome);
  ASSERT_EQ(0, FreshHome::settings().setString(1, "flp1x.ServerURL", L"http://srv.example:8080/flp"));
  ASSERT_EQ(SUCCESS, sync(kOld));
  qvfault::failWrite(1, qvfault::Fault::kDiskFull, true, "settings.db");
  EXPECT_EQ(FAILED, sync(kNew));
  EXPECT_TRUE(qvfault::fired());
  qvfault::disarm();
  EXPECT_EQ("g1", Flp1xPlatformWrapper::getStringSetting("RuntimeValues.AppSyncAnchor", "QVCore.DCD"));
  EXPECT_NE(std::string::npos, log.text().find("Unable to set setting: RuntimeValues.AppSyncAnchor"));
  EXPECT_EQ(SUCCESS, sync(kNew));
  EXPECT_EQ("g2", Flp1xPlatformWrapper::getStringSetting("RuntimeValues.AppSyncAnchor", "QVCore.DCD"));
  home.reset();
}

INSTANTIATE_TEST_SUITE_P(Faults, Flp1xStoreFaultTest, ::testing::ValuesIn(storecheck::faultModes()),
                         [](const ::testing::TestParamInfo<storecheck::FaultMode>& info) {
                           return info.param.persistent ? std::string("DiskFull") : std::string("OneIoError");
                         });

// A home on a 3 MiB file system and a sync that cannot fit: the update
// fails, the old content and anchor stay; a later sync that fits is stored
// whole.
TEST_F(Flp1xStoreTest, ASyncThatDoesNotFitASmallFileSystemFailsAndKeepsTheOldContent) {
  const std::string smallHome = storecheck::smallHome();
  if (smallHome.empty()) {
    storecheck::runOnSmallFilesystem(3 * 1024);
    return;
  }
  ASSERT_EQ(0, ::mkdir(smallHome.c_str(), 0755));
  ::setenv("QUORVEL_HOME", smallHome.c_str(), 1);
  // Some other file takes a share of the space, and is removed once the
  // sync has failed.
  const std::string ballast = smallHome + "/../ballast";
  {
    std::ofstream out(ballast, std::ios::binary);
    const std::string chunk(1 << 16, 'b');
    for (int i = 0; i < 16; ++i) out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    ASSERT_TRUE(out.good());
  }
  FreshHome::closeAll();
  ASSERT_EQ(0, FreshHome::settings().setString(1, "flp1x.ServerURL", L"http://srv.example:8080/flp"));
  ASSERT_EQ(SUCCESS, sync(kOld));
  const storecheck::Snapshot before = storecheck::snapshot(smallHome + "/cache.db");

  // 22 feeds of 100 entries of 3.5 KB: about 7.5 MB.
  std::vector<std::string> ids;
  std::string feeds;
  const std::string text(2000, 't');
  for (int f = 0; f < 22; ++f) {
    std::string entries;
    for (int e = 0; e < 100; ++e) entries += entry("L" + std::to_string(f) + "-" + std::to_string(e), text);
    ids.push_back("L" + std::to_string(f));
    feeds += feed(ids.back(), entries);
  }
  EXPECT_EQ(FAILED, sync(pkg("big", ids, feeds)));
  const storecheck::Snapshot after = storecheck::snapshot(smallHome + "/cache.db");
  EXPECT_EQ("ok", after.integrity);
  EXPECT_TRUE(after.dangling.empty());
  EXPECT_TRUE(before.rows == after.rows) << "the failed sync changed the store";
  EXPECT_EQ("g1", Flp1xPlatformWrapper::getStringSetting("RuntimeValues.AppSyncAnchor", "QVCore.DCD"));

  ASSERT_EQ(0, std::remove(ballast.c_str()));

  EXPECT_EQ(SUCCESS, sync(kNew));
  const storecheck::Snapshot fitted = storecheck::snapshot(smallHome + "/cache.db");
  EXPECT_EQ("ok", fitted.integrity);
  EXPECT_TRUE(fitted.dangling.empty());
  EXPECT_EQ("g2", Flp1xPlatformWrapper::getStringSetting("RuntimeValues.AppSyncAnchor", "QVCore.DCD"));
  FreshHome::closeAll();
}

}  // namespace
