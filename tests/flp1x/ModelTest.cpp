// The model over the content cache: a first sync and a later one that drops
// a channel and an entry, the anchors, and the assets still missing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Flp1xTestSupport.h"
#include "Model.h"
#include "RecordingFacade.h"
#include "SyncPkg.h"
#include "platform/Facade.h"

namespace {

using flp1xtest::FreshHome;
using flp1xtest::kNow;
using flp1xtest::sample;

std::unique_ptr<SyncPkg> parsed(const std::string& document) {
  std::unique_ptr<SyncPkg> pkg(new SyncPkg);
  EXPECT_TRUE(pkg->parse(document)) << pkg->errorText();
  return pkg;
}

std::vector<std::string> ids(const RequiredContentList& list) {
  std::vector<std::string> out;
  for (const auto& r : list) out.push_back(r->mId + " " + r->mHref + " " + r->mContentType);
  return out;
}

class ModelTest : public ::testing::Test {
 protected:
  std::vector<qvTypes::ID> containerIds() {
    Container container;
    EXPECT_EQ(0, FreshHome::cache().get("container1", container));
    return container.getChannelIds();
  }
  bool hasChannel(const std::string& id) {
    Channel c;
    return FreshHome::cache().get(id, c) == 0;
  }
  bool hasItem(const std::string& id) {
    Item i;
    return FreshHome::cache().get(id, i) == 0;
  }
  std::string appSyncAnchor() {
    qvTypes::String value;
    EXPECT_EQ(0, FreshHome::settings().getString(1, "RuntimeValues.AppSyncAnchor", value));
    return std::string(value.begin(), value.end());
  }

  FreshHome home;
  Flp1xPlatformWrapper wrapper{QV_EventAndStatusFacade::instance()};
  Model model{"container1", &wrapper};
};

TEST_F(ModelTest, FirstSyncStoresChannelsItemsAndAnchors) {
  ASSERT_TRUE(model.store(*parsed(sample("sync-first.xml"))));

  EXPECT_EQ((std::vector<qvTypes::ID>{"news", "sport", "weather"}), containerIds());
  EXPECT_EQ("g-2026-01", appSyncAnchor());
  EXPECT_EQ("g-2026-01", wrapper.getAppSyncAnchor());
  std::string anchors;
  ASSERT_TRUE(model.getGlobalSyncAnchor(anchors));
  EXPECT_EQ("news=news-a1, sport=sport-a1", anchors);  // weather's anchor is empty

  Channel news;
  ASSERT_EQ(0, FreshHome::cache().get("news", news));
  EXPECT_EQ(L"World news", news.getTitle());
  EXPECT_EQ(L"Headlines & more", news.getSummary());
  EXPECT_EQ(NewsObject::Link(L"http://news.example/", L"alternate", 0), news.getLink());
  EXPECT_EQ(1, news.getOrder());
  EXPECT_EQ(L"news-a1", news.getAttributes().getString(Model::kAnchorKey, L"", Model::kLanguage));
  EXPECT_EQ("tpl-channel", news.getTemplateId());
  EXPECT_EQ("tpl-news-entry", news.getEntryTemplateId());
  EXPECT_EQ(L"http://flp.example/tpl/news-entry.xml", news.getEntryTemplateUrl());
  EXPECT_TRUE(news.hasFlag(NewsObject::FLAG_DISPLAY_IN_EXCERPT));
  EXPECT_EQ((std::vector<qvTypes::ID>{"news-1", "news-2", "news-3"}), news.getItemIds());
  ASSERT_EQ(1u, news.getContentMap().count("logo"));
  EXPECT_EQ("img-news-logo", news.getContentMap().at("logo").assetId);

  Item first;
  ASSERT_EQ(0, FreshHome::cache().get("news-1", first));
  EXPECT_EQ(L"Markets rally", first.getTitle());
  EXPECT_EQ(L"Stocks rose on Monday.", first.getSummary());
  // The unsupported rel "related" is kept as the launch link.
  EXPECT_EQ(NewsObject::Link(L"http://news.example/1", L"alternate", 0), first.getLink());
  EXPECT_EQ("csio", first.getEntryType());
  EXPECT_EQ("default", first.getTemplateId());
  EXPECT_EQ(1767225000, first.getIssued());
  EXPECT_EQ(L"A. Writer", first.getAuthorName());
  EXPECT_EQ(L"http://news.example/a", first.getAuthorUrl());
  EXPECT_EQ(L"a@news.example", first.getAuthorEmail());
  EXPECT_EQ(kNow, first.getActivationDate());
  EXPECT_EQ(1767312000, first.getExpirationDate());
  EXPECT_EQ(L"Stocks rose.", first.getExcerptText());
  EXPECT_EQ(1u, first.getContentMap().size());  // the excerpt is no content
  NewsObject::Media image = first.getContentMap().at("image");
  EXPECT_EQ("image/jpeg", image.mimeType);
  EXPECT_EQ("img-shared", image.assetId);

  // An entry with only an id and an issued time is not stored.
  EXPECT_FALSE(hasItem("sport-empty"));
}

TEST_F(ModelTest, ALaterSyncDropsAChannelAndAnEntry) {
  ASSERT_TRUE(model.store(*parsed(sample("sync-first.xml"))));
  ASSERT_TRUE(model.store(*parsed(sample("sync-second.xml"))));

  EXPECT_EQ((std::vector<qvTypes::ID>{"news", "sport"}), containerIds());
  EXPECT_FALSE(hasChannel("weather"));
  EXPECT_TRUE(hasItem("weather-1"));  // a dropped channel's items stay
  EXPECT_FALSE(hasItem("news-3"));
  EXPECT_TRUE(hasItem("news-1"));
  Channel news;
  ASSERT_EQ(0, FreshHome::cache().get("news", news));
  EXPECT_EQ((std::vector<qvTypes::ID>{"news-1", "news-2"}), news.getItemIds());
  Item second;
  ASSERT_EQ(0, FreshHome::cache().get("news-2", second));
  EXPECT_EQ(L"Second story, updated", second.getTitle());

  std::string anchors;
  ASSERT_TRUE(model.getGlobalSyncAnchor(anchors));
  EXPECT_EQ("news=news-a2, sport=sport-a2", anchors);
  EXPECT_EQ("g-2026-02", appSyncAnchor());

  // Anchors one by one, and a channel without one.
  ASSERT_TRUE(model.setChannelAnchor("news", ""));
  ASSERT_TRUE(model.getGlobalSyncAnchor(anchors));
  EXPECT_EQ("sport=sport-a2", anchors);
  std::string anchor = "untouched";
  EXPECT_FALSE(model.getChannelAnchor("weather", anchor));
  EXPECT_EQ("untouched", anchor);
}

TEST_F(ModelTest, RequiredAssetsAreListedOnceWithCsioFirst) {
  ASSERT_TRUE(model.store(*parsed(sample("sync-first.xml"))));
  RequiredContent logo;
  logo.mId = "img-news-logo";
  logo.mContentType = "image/png";
  logo.mData = std::string("\x89PNG\r\n\x1a\n\0tail", 13);
  ASSERT_TRUE(model.saveContent(logo));
  std::string path;
  ASSERT_EQ(0, FreshHome::cache().getPath("img-news-logo", path));
  EXPECT_EQ(logo.mData, flp1xtest::readFile(path));

  RequiredContentList byIds;
  RequiredContentList byUrl;
  byIds.emplace_back(new RequiredContent);  // replaced, not appended to
  ASSERT_TRUE(model.getRequiredContent(byIds, byUrl));
  // "default" templates and the cached logo are not asked for; the image
  // shared by news-1 and news-2 is asked for once; the contents of "csio"
  // entries (sport-1 after news-1) come first.
  EXPECT_EQ((std::vector<std::string>{"img-sport-1  image/png", "img-shared  image/jpeg", "tpl-channel  text/xml"}),
            ids(byIds));
  EXPECT_EQ((std::vector<std::string>{"tpl-news-entry http://flp.example/tpl/news-entry.xml text/xml",
                                      "img-news-2 http://flp.example/assets/news-2.gif image/gif",
                                      "wx-data http://flp.example/assets/wx.xml text/xml"}),
            ids(byUrl));

  // What the server sends for them is saved; then nothing is missing.
  for (RequiredContentList* list : {&byIds, &byUrl}) {
    for (const auto& record : *list) {
      record->mData = "bytes of " + record->mId;
      EXPECT_TRUE(ModelFacade::saveContent(*record));
    }
  }
  ASSERT_TRUE(ModelFacade::getRequiredContent(byIds, byUrl));
  EXPECT_TRUE(byIds.empty());
  EXPECT_TRUE(byUrl.empty());
}

TEST_F(ModelTest, EdgesOfStoring) {
  // Nothing in the cache yet: no channel list, no anchors, nothing missing.
  std::string anchors = "untouched";
  EXPECT_FALSE(model.getGlobalSyncAnchor(anchors));
  RequiredContentList byIds;
  RequiredContentList byUrl;
  EXPECT_FALSE(model.getRequiredContent(byIds, byUrl));

  // A package without meta data stores nothing.
  SyncPkg bare;
  LogCapture log;
  EXPECT_FALSE(model.store(bare));
  EXPECT_TRUE(log.contains("ModelFacade::store: SyncPkg without meta element!"));
  SyncPkg noGlobal;
  noGlobal.mMeta.reset(new MetaElement);
  EXPECT_FALSE(model.store(noGlobal));
  EXPECT_TRUE(log.contains("ModelFacade::store: meta is malformed!"));

  // A feed with nothing in it is skipped; one that is not listed in the
  // meta data is stored without order or anchor.
  ASSERT_TRUE(model.store(*parsed(
      "<sync-pkg><meta><global-meta anchor=\"g\" ttl=\"0\" server-time=\"0\"/>"
      "<feed-meta ctxt-id=\"empty\" anchor=\"a\" target=\"t\"/></meta>"
      "<feed ctxt-id=\"empty\"/><feed ctxt-id=\"extra\"><title>Extra</title></feed></sync-pkg>")));
  EXPECT_EQ((std::vector<qvTypes::ID>{"empty"}), containerIds());
  EXPECT_FALSE(hasChannel("empty"));
  Channel extra;
  ASSERT_EQ(0, FreshHome::cache().get("extra", extra));
  EXPECT_EQ(0, extra.getOrder());
  EXPECT_FALSE(extra.getAttributes().has(Model::kAnchorKey, Model::kLanguage));

  // A content without an id cannot be asked for.
  ASSERT_TRUE(model.store(*parsed(
      "<sync-pkg><meta><global-meta anchor=\"g\" ttl=\"0\" server-time=\"0\"/>"
      "<feed-meta ctxt-id=\"f\" anchor=\"a\" target=\"t\"/></meta>"
      "<feed ctxt-id=\"f\"><entry ctxt-id=\"e\"><content type=\"image/png\" name=\"i\" ctxt-id=\"\"/>"
      "<content type=\"image/png\" name=\"j\" ctxt-id=\"../../etc/x\"/></entry></feed></sync-pkg>")));
  ASSERT_TRUE(model.getRequiredContent(byIds, byUrl));
  EXPECT_EQ((std::vector<std::string>{"../../etc/x  image/png"}), ids(byIds));
  // An id with "/" and ".." is stored inside the cache like any other.
  RequiredContent odd;
  odd.mId = "../../etc/x";
  odd.mContentType = "image/png";
  odd.mData = "x";
  EXPECT_TRUE(model.saveContent(odd));
  std::string path;
  ASSERT_EQ(0, FreshHome::cache().getPath(odd.mId, path));
  EXPECT_EQ(0u, path.find(home.path() + "/")) << path;
  EXPECT_EQ(std::string::npos, path.find("/../")) << path;
}

TEST(ModelFacadeTest, ForwardsToTheModelOrReportsItsAbsence) {
  FreshHome home;
  std::unique_ptr<SyncPkg> pkg = parsed(sample("sync-first.xml"));
  ASSERT_TRUE(ModelFacade::store(*pkg));
  std::string anchors;
  EXPECT_TRUE(ModelFacade::getGlobalSyncAnchor(anchors));
  EXPECT_EQ("news=news-a1, sport=sport-a1", anchors);

  ModelFacade::setModel(nullptr);
  LogCapture log;
  RequiredContentList byIds;
  RequiredContentList byUrl;
  EXPECT_FALSE(ModelFacade::store(*pkg));
  EXPECT_FALSE(ModelFacade::saveContent(RequiredContent()));
  EXPECT_FALSE(ModelFacade::getRequiredContent(byIds, byUrl));
  EXPECT_FALSE(ModelFacade::getGlobalSyncAnchor(anchors));
  EXPECT_EQ(4u, log.count("ModelFacade:: Not spicified correct IModel"));
}

}  // namespace
