// The content cache: news objects and containers round trip field by field,
// assets become visible only when committed, hostile ids stay inside
// assets/, and sync repairs what a crash leaves behind.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "TempHome.h"
#include "platform/ContentCache.h"

namespace {

namespace fs = std::filesystem;

// Text that a careless encoding would damage: NUL, quotes, backslash,
// control characters, characters beyond the BMP.
const qvTypes::String kNastyText =
    qvTypes::String(L"Caf\u00e9 \"quoted\" back\\slash\ttab\nline") + L'\0' + L"nul \U0001F4F0 \u6f22\u5b57";
// An id with a NUL byte and bytes that are not UTF-8.
const qvTypes::ID kNastyId = std::string("id") + '\0' + "with-nul \xff\xfe bytes";

void fillCommon(NewsObject& o, const std::string& tag) {
  o.setTitle(kNastyText + MString::toWide(tag));
  o.setSummary(L"summary of " + MString::toWide(tag));
  o.setEntryType("csio");
  o.setFlags(NewsObject::FLAG_DISPLAY_IN_EXCERPT | NewsObject::FLAG_SHOW_EXCERPT);
  o.setPriority(NewsObject::HIGH);
  o.setOrder(-3);
  o.setActivationDate(1209628800);
  o.setExpirationDate(1209715200);
  o.setLink(NewsObject::Link(L"http://example.com/launch?a=1&b=\u00e9", L"alternate", 0));
  o.setTemplateId("tpl-" + tag);
  o.setTemplateUrl(L"http://example.com/tpl.xml");
  NewsObject::Media image;
  image.name = "image";
  image.mimeType = "image/png";
  image.assetId = kNastyId;
  image.url = L"http://example.com/i.png";
  o.setMediaMap({{"image", image}});
  NewsObject::Media x1;
  x1.name = "primaryxhtml";
  x1.mimeType = "application/xhtml+xml";
  x1.assetId = "x1";
  NewsObject::Media x2;
  x2.mimeType = "audio/amr";
  x2.assetId = "x2";
  x2.url = L"http://example.com/x2";
  x2.text = kNastyText;
  o.setExcerptMap({{"primaryxhtml", x1}, {"7", x2}});
  NewsObject::Media content;
  content.name = "body";
  content.mimeType = "text/html";
  content.mode = "inline";
  content.assetId = "content-1";
  content.url = L"http://example.com/body";
  o.setContentMap({{"body", content}});
  o.setExcerptText(L"excerpt \u00e0 text");
  o.getAttributes().putString("flp2.channel.syncanchor", L"anchor-1", "_default_");
  o.getAttributes().putString("flp1x:anchor", kNastyText, "_default_");
  o.getAttributes().putString("flp1x:anchor", L"french", "fr");
}

Channel fullChannel(const qvTypes::ID& id) {
  Channel c(id);
  fillCommon(c, "channel");
  c.setItemIds({"i2", "i1", kNastyId, "i2"});
  c.setEntryTemplateId("entry-tpl");
  c.setEntryTemplateUrl(L"http://example.com/entry.xml");
  return c;
}

Item fullItem(const qvTypes::ID& id) {
  Item i(id);
  fillCommon(i, "item");
  i.setDisplayCount(4);
  i.setDisplayTime(15000);
  i.setIssued(1209600000);
  i.setAuthor(L"A. Writer", L"http://example.com/~writer", L"writer@example.com");
  return i;
}

class ContentCacheTest : public ::testing::Test {
 protected:
  // Asked for anew each time: a reopen invalidates the old instance.
  NR_ContentCache& cache() {
    NR_ContentCache* c = NR_ContentCache::getInstance();
    if (c == nullptr) {
      std::fprintf(stderr, "no content cache under %s\n", home.path().c_str());
      std::abort();
    }
    return *c;
  }

  std::string assetsDir() const { return home.file("assets"); }

  std::set<std::string> assetDirEntries() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(assetsDir())) names.insert(e.path().filename().string());
    return names;
  }

  // Writes and commits an asset; the result of closeOutputStream.
  int putAsset(const qvTypes::ID& id, const std::string& bytes, const std::string& mime) {
    std::ofstream* out = cache().getOutputStream(id, static_cast<long>(bytes.size()));
    if (out == nullptr) return -1;
    out->write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return cache().closeOutputStream(id, out, mime);
  }

  static std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return MString::readStream(in);
  }

  // One value of the database as the UI would query it.
  std::string query(const std::string& sql) { return queryOne(home.file("cache.db"), sql); }

  TempHome home;
};

TEST_F(ContentCacheTest, NewsObjectsRoundTripEveryField) {
  // A full object, and one left at every default (reading it must not keep
  // anything of the object read into).
  const Channel channels[] = {fullChannel("c1"), Channel("c0")};
  const Item items[] = {fullItem(kNastyId), Item("i0")};
  for (const Channel& c : channels) ASSERT_EQ(0, cache().save(c.getId(), c));
  for (const Item& i : items) ASSERT_EQ(0, cache().save(i.getId(), i));

  for (bool reopened : {false, true}) {
    SCOPED_TRACE(reopened ? "after a reopen" : "same instance");
    if (reopened) TempHome::closeAll();
    for (const Channel& c : channels) {
      Channel got = fullChannel("junk");
      got.setItemIds({"junk"});
      ASSERT_EQ(0, cache().get(c.getId(), got));
      EXPECT_TRUE(got == c) << "channel " << c.getId();
    }
    for (const Item& i : items) {
      Item got = fullItem("junk");
      ASSERT_EQ(0, cache().get(i.getId(), got));
      EXPECT_TRUE(got == i) << "item " << i.getId();
    }
  }
  // The fields are standard JSON (bytes that are not UTF-8 included) and
  // the title a plain UTF-8 column, for the UI.
  EXPECT_EQ("1", query("SELECT json_valid(fields) FROM channels WHERE id = 'c1'"));
  EXPECT_EQ("i1", query("SELECT json_extract(fields, '$.itemIds[1]') FROM channels WHERE id = 'c1'"));
  EXPECT_EQ("image/png", query("SELECT json_extract(fields, '$.media.image.mime') FROM channels WHERE id = 'c1'"));
  EXPECT_EQ("summary of channel", query("SELECT summary FROM channels WHERE id = 'c1'"));
  EXPECT_EQ("1", query("SELECT min(json_valid(fields)) FROM items"));
}

TEST_F(ContentCacheTest, MissingObjectsKindsAndRemoval) {
  Channel channel = fullChannel("same");
  ASSERT_EQ(0, cache().save("same", channel));

  // A miss, or an id stored as another kind, leaves the object untouched.
  Item item = fullItem("mine");
  const Item before = item;
  EXPECT_NE(0, cache().get("same", item));
  EXPECT_NE(0, cache().get("absent", item));
  EXPECT_TRUE(item == before);
  Container container;
  container.addChannelId("keep");
  EXPECT_NE(0, cache().get("same", container));
  EXPECT_EQ(std::vector<qvTypes::ID>{"keep"}, container.getChannelIds());

  // Kinds are separate: removing the item leaves the channel of that id.
  ASSERT_EQ(0, cache().save("same", item));
  EXPECT_EQ(0, cache().remove("same", Item()));
  EXPECT_NE(0, cache().remove("same", Item()));
  Channel got;
  EXPECT_EQ(0, cache().get("same", got));
  EXPECT_EQ(0, cache().remove("same", got));
  EXPECT_NE(0, cache().get("same", got));

  // An object needs an id.
  EXPECT_NE(0, cache().save("", Channel()));
  EXPECT_NE(0, cache().save("", Container()));
  EXPECT_TRUE(cache().listChannelIds().empty());
}

TEST_F(ContentCacheTest, StoreUsesTheObjectsOwnId) {
  ASSERT_EQ(0, fullItem("by-store").store());
  ASSERT_EQ(0, fullChannel("ch-store").store());
  EXPECT_EQ(std::vector<qvTypes::ID>{"by-store"}, cache().listItemIds());
  EXPECT_EQ(std::vector<qvTypes::ID>{"ch-store"}, cache().listChannelIds());
}

TEST_F(ContentCacheTest, ContainersKeepTheirOrder) {
  Container c;
  c.setChannelIds({"c3", "c1", kNastyId, "c2", "c1"});
  ASSERT_EQ(0, cache().save("container1", c));
  ASSERT_EQ(0, cache().save("another", Container()));

  Container got;
  ASSERT_EQ(0, cache().get("container1", got));
  EXPECT_EQ(c.getChannelIds(), got.getChannelIds());
  got.addChannelId("c0");
  ASSERT_EQ(0, cache().save("container1", got));
  TempHome::closeAll();
  Container again;
  ASSERT_EQ(0, cache().get("container1", again));
  EXPECT_EQ(got.getChannelIds(), again.getChannelIds());
  Container empty;
  empty.addChannelId("junk");
  ASSERT_EQ(0, cache().get("another", empty));
  EXPECT_TRUE(empty.getChannelIds().empty());
  EXPECT_EQ((std::vector<qvTypes::ID>{"another", "container1"}), cache().listContainerIds());
  EXPECT_EQ(0, cache().removeContainer("another"));
  EXPECT_EQ(std::vector<qvTypes::ID>{"container1"}, cache().listContainerIds());
}

TEST_F(ContentCacheTest, AssetIsVisibleOnlyOnceCommitted) {
  std::ofstream* out = cache().getOutputStream("a1", 5);
  ASSERT_NE(nullptr, out);
  *out << "hello";
  out->flush();
  std::string path = "untouched";
  EXPECT_NE(0, cache().getPath("a1", path));
  EXPECT_EQ("untouched", path);
  EXPECT_TRUE(cache().listAssets().empty());

  ASSERT_EQ(0, cache().closeOutputStream("a1", out, "image/png"));
  ASSERT_EQ(0, cache().getPath("a1", path));
  EXPECT_EQ(assetsDir() + "/a1", path);
  EXPECT_EQ("hello", readFile(path));
  std::vector<NR_ContentCache::AssetInfo> assets = cache().listAssets();
  ASSERT_EQ(1u, assets.size());
  EXPECT_EQ("a1", assets[0].id);
  EXPECT_EQ("image/png", assets[0].mime);
  EXPECT_EQ(5, assets[0].size);
  EXPECT_EQ(path, assets[0].path);

  // A new version replaces the old one only when committed.
  out = cache().getOutputStream("a1", 0);
  ASSERT_NE(nullptr, out);
  *out << "second version";
  EXPECT_EQ("hello", readFile(path));
  ASSERT_EQ(0, cache().closeOutputStream("a1", out, "text/plain"));
  EXPECT_EQ("second version", readFile(path));
  assets = cache().listAssets();
  ASSERT_EQ(1u, assets.size());
  EXPECT_EQ("text/plain", assets[0].mime);
  EXPECT_EQ(14, assets[0].size);
  EXPECT_EQ((std::set<std::string>{"a1"}), assetDirEntries());

  EXPECT_EQ(0, cache().removeAsset("a1"));
  EXPECT_NE(0, cache().getPath("a1", path));
  EXPECT_NE(0, cache().removeAsset("a1"));
  EXPECT_TRUE(assetDirEntries().empty());
}

TEST_F(ContentCacheTest, FailedCommitsKeepNothing) {
  // Fewer bytes than announced: a cut-off download.
  std::ofstream* out = cache().getOutputStream("short", 10);
  ASSERT_NE(nullptr, out);
  *out << "abc";
  EXPECT_NE(0, cache().closeOutputStream("short", out, "image/gif"));

  // Closed under another id.
  out = cache().getOutputStream("one", 0);
  ASSERT_NE(nullptr, out);
  *out << "x";
  EXPECT_NE(0, cache().closeOutputStream("other", out, "image/gif"));

  // A stream this cache never handed out, and none at all.
  std::ofstream foreign;
  EXPECT_NE(0, cache().closeOutputStream("short", &foreign, "image/gif"));
  EXPECT_NE(0, cache().closeOutputStream("short", nullptr, "image/gif"));

  // No stream for an empty id or a negative size.
  EXPECT_EQ(nullptr, cache().getOutputStream("", 1));
  EXPECT_EQ(nullptr, cache().getOutputStream("neg", -1));

  std::string path;
  EXPECT_NE(0, cache().getPath("short", path));
  EXPECT_NE(0, cache().getPath("one", path));
  EXPECT_NE(0, cache().getPath("other", path));
  EXPECT_TRUE(cache().listAssets().empty());
  EXPECT_TRUE(assetDirEntries().empty());
}

TEST_F(ContentCacheTest, HostileAssetIdsStayInsideTheAssetsDirectory) {
  const std::vector<qvTypes::ID> ids = {
      "../../etc/passwd",
      "/etc/passwd",
      "a/b",
      ".",
      "..",
      ".hidden",
      ".tmp-1-1",
      std::string("nul\0inside", 10),
      std::string("nul\0", 4),
      "%2F",
      "a%2Fb",
      "\xff\xfe",
      "spaces and \\ backslash",
      std::string(300, 'x'),
      std::string(300, 'x') + "y",
      std::string(100, '/'),
      "plain-id_1.png",
  };
  std::set<std::string> names;
  for (const qvTypes::ID& id : ids) {
    std::string name = NR_ContentCache::assetFileName(id);
    SCOPED_TRACE(name);
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(std::string::npos, name.find('/'));
    EXPECT_EQ(std::string::npos, name.find('\0'));
    EXPECT_NE('.', name[0]);
    EXPECT_LE(name.size(), 255u);
    EXPECT_TRUE(names.insert(name).second) << "two ids share a file name";

    ASSERT_EQ(0, putAsset(id, "data of " + name, "application/octet-stream"));
    std::string path;
    ASSERT_EQ(0, cache().getPath(id, path));
    EXPECT_EQ(fs::path(assetsDir()), fs::path(path).parent_path());
    EXPECT_EQ("data of " + name, readFile(path));
  }
  EXPECT_EQ("plain-id_1.png", NR_ContentCache::assetFileName("plain-id_1.png"));
  EXPECT_EQ(names, assetDirEntries());
  EXPECT_EQ(ids.size(), cache().listAssets().size());
}

TEST_F(ContentCacheTest, SyncRepairsWhatACrashLeftBehind) {
  ASSERT_EQ(0, putAsset("good", "good data", "text/plain"));
  ASSERT_EQ(0, putAsset("lost", "its file will vanish", "text/plain"));
  ASSERT_EQ(0, putAsset("cut", "its file will be cut short", "text/plain"));
  std::string lost;
  std::string cut;
  ASSERT_EQ(0, cache().getPath("lost", lost));
  ASSERT_EQ(0, cache().getPath("cut", cut));
  ASSERT_EQ(0, ::unlink(lost.c_str()));
  ASSERT_EQ(0, ::truncate(cut.c_str(), 3));

  // A writer that died mid-stream, one that died between moving its file
  // into place and recording it, and a stream of this process still open.
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) ::_exit(0);
  ASSERT_EQ(child, ::waitpid(child, nullptr, 0));
  std::string deadTemp = assetsDir() + "/.tmp-" + std::to_string(child) + "-1";
  std::ofstream(deadTemp) << "half an asset";
  std::ofstream(assetsDir() + "/" + NR_ContentCache::assetFileName("orphan")) << "never recorded";
  std::ofstream* abandoned = cache().getOutputStream("live", 4);
  ASSERT_NE(nullptr, abandoned);
  *abandoned << "li";

  TempHome::closeAll();
  // Closing the cache removed its own unfinished stream; the rest waits for
  // sync.
  EXPECT_EQ((std::set<std::string>{"good", "cut", "orphan", fs::path(deadTemp).filename().string()}),
            assetDirEntries());
  std::ofstream* pending = cache().getOutputStream("live", 4);
  ASSERT_NE(nullptr, pending);
  *pending << "li";
  ASSERT_EQ(0, cache().sync());

  std::string path;
  EXPECT_EQ(0, cache().getPath("good", path));
  EXPECT_EQ("good data", readFile(path));
  EXPECT_NE(0, cache().getPath("lost", path));
  EXPECT_NE(0, cache().getPath("cut", path));
  EXPECT_NE(0, cache().getPath("orphan", path));
  std::vector<NR_ContentCache::AssetInfo> assets = cache().listAssets();
  ASSERT_EQ(1u, assets.size());
  EXPECT_EQ("good", assets[0].id);
  std::set<std::string> entries = assetDirEntries();
  EXPECT_EQ(2u, entries.size());
  EXPECT_EQ(1u, entries.count("good"));

  // The stream that was open during sync still commits.
  *pending << "ve";
  ASSERT_EQ(0, cache().closeOutputStream("live", pending, "text/plain"));
  ASSERT_EQ(0, cache().getPath("live", path));
  EXPECT_EQ("live", readFile(path));
  EXPECT_EQ((std::set<std::string>{"good", "live"}), assetDirEntries());
}

TEST_F(ContentCacheTest, DamagedDatabaseIsSetAsideAndStartedAfresh) {
  ASSERT_EQ(0, putAsset("a", "data", "text/plain"));
  TempHome::closeAll();
  ::unlink(home.file("cache.db-wal").c_str());
  ::unlink(home.file("cache.db-shm").c_str());
  std::ofstream(home.file("cache.db"), std::ios::trunc) << "garbage, not a database at all............";

  ASSERT_EQ(0, cache().save("c", Channel("c")));
  EXPECT_TRUE(fs::exists(home.file("cache.db.damaged")));
  // The assets of the lost database are files nobody refers to any more.
  ASSERT_EQ(0, cache().sync());
  EXPECT_TRUE(assetDirEntries().empty());
  EXPECT_EQ(std::vector<qvTypes::ID>{"c"}, cache().listChannelIds());
}

TEST_F(ContentCacheTest, ConcurrentUse) {
  auto work = [this](const std::string& prefix) {
    for (int i = 0; i < 20; ++i) {
      std::string id = prefix + std::to_string(i);
      Item item(id);
      item.setDisplayCount(i);
      if (cache().save(id, item) != 0) ADD_FAILURE() << id;
      Item got;
      if (cache().get(id, got) != 0 || got.getDisplayCount() != i) ADD_FAILURE() << id;
      if (putAsset(id, prefix, "text/plain") != 0) ADD_FAILURE() << id;
    }
  };
  cache();
  std::thread a(work, "a");
  std::thread b(work, "b");
  a.join();
  b.join();
  EXPECT_EQ(40u, cache().listItemIds().size());
  EXPECT_EQ(40u, cache().listAssets().size());
}

TEST_F(ContentCacheTest, RemainingSpaceIsReported) { EXPECT_GT(cache().cacheRemaining(), 0); }

}  // namespace
