// Marshalling feed content sets into channels and items: fields, excerpts,
// sync anchors, absent modes, and the content sets that must fail a channel.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "Constants.h"
#include "Entry.h"
#include "Flp2TestSupport.h"
#include "ProtocolSettings.h"

namespace {

using flp2::Feed;
using flp2test::cache;

const char* const kContainer = "container1";

std::string feedXml(const std::string& id, const std::string& anchor, const std::string& body,
                    const std::string& extraAttributes = "absent-mode=\"remove\"") {
  return "<content-set id=\"" + id + "\" name=\"feed\" sync-anchor=\"" + anchor + "\" container=\"container1\" " +
         extraAttributes + ">" + body + "</content-set>";
}

std::string itemXml(const std::string& id, const std::string& title, const std::string& more = "") {
  return "<content-set id=\"" + id + "\" name=\"item\"><content name=\"title\">" + title + "</content>" + more +
         "</content-set>";
}

const std::string kChannelBasics = "<content name=\"title\">Sport</content><content name=\"layout\">cs</content>";

class EntryTest : public ::testing::Test {
 protected:
  // Marshals (and, unless unchanged, saves) the first content set of the
  // application.
  int run(const std::string& feed, bool isNew, bool* saved = nullptr) {
    lastResponse = flp2test::response(feed);
    if (!lastResponse || lastResponse->getApplication()->getContentSets().empty()) return -99;
    Feed entry(lastResponse->getApplication()->getContentSets()[0].get(), kContainer);
    int result = entry.marshal(isNew);
    newItems = entry.getNewItems().size();
    bool ok = false;
    if (result == flp2::MARSHAL_DONE) ok = entry.Save();
    if (saved != nullptr) *saved = ok;
    return result;
  }
  Channel storedChannel(const std::string& id) {
    Channel c;
    EXPECT_EQ(0, cache().get(id, c)) << id;
    return c;
  }
  Item storedItem(const std::string& id) {
    Item i;
    EXPECT_EQ(0, cache().get(id, i)) << id;
    return i;
  }
  bool hasItem(const std::string& id) {
    Item i;
    return cache().get(id, i) == 0;
  }
  static std::string anchorOf(const Channel& c) {
    return "\"" +
           flp2::toUtf8(
               c.getAttributes().getString(flp2::kChannelSyncAnchorAttr, L"<none>", flp2::kDefaultAttrQualifier)) +
           "\"";
  }

  flp2test::LogCapture log;
  flp2test::TempHome home;
  std::unique_ptr<txn::ContentUpdateResponse> lastResponse;
  size_t newItems = 0;
};

TEST_F(EntryTest, NewChannelWithItemsExcerptsAndMedia) {
  const std::string feed = feedXml(
      "c1", "S1",
      "<lifespan><activation>2008-05-01T10:00:00+02:00</activation>"
      "<expiration>2008-05-02T08:00:00Z</expiration></lifespan>"
      "<content name=\"title\">World\nnews\r\ntoday</content>"
      "<content name=\"summary\">All of it</content>"
      "<content name=\"layout\">csio</content>"
      "<content name=\"launchurl\">http://news.example/world</content>"
      "<content name=\"display-in-excerpt\">true</content>"
      "<content name=\"showexcerpt\">true</content>"
      "<content name=\"image\" content-id=\"img-world\" content-type=\"image/png\"/>"
      "<content name=\"template\" id=\"tpl-world\" href=\"http://news.example/tpl.xhtml\"/>"
      "<content-set name=\"excerpt\">"
      "<content name=\"primaryxhtml\">ex-1</content>"
      "<content content-id=\"ex-1\" content-type=\"application/xhtml+xml\"/>"
      "<content id=\"ex-2\" href=\"http://news.example/ex-2.gif\" content-type=\"image/gif\"/>"
      "<content content-id=\"ex-3\"/>"
      "<content id=\"ex-4\" href=\"http://news.example/ex-4\"/>"
      "</content-set>" +
          itemXml(
              "i1", "Storm &amp; rain",
              "<content name=\"displaycount\">3</content>"
              "<content name=\"image\" id=\"img-i1\" href=\"http://news.example/i1.jpg\" content-type=\"image/jpg\"/>"
              "<content-set name=\"excerpt\"><content name=\"teaser\" content-id=\"ex-i1\" "
              "content-type=\"text/plain\"/></content-set>") +
          "<content-set id=\"i2\" name=\"item\" priority=\"0\" display-timer=\"15\">"
          "<content name=\"title\">Second</content><content name=\"layout\">cs</content>"
          "<lifespan><lifetime>600</lifetime></lifespan></content-set>",
      "absent-mode=\"remove\" order=\"4\"");
  const long before = static_cast<long>(std::time(nullptr));
  bool saved = false;
  ASSERT_EQ(flp2::MARSHAL_DONE, run(feed, true, &saved));
  ASSERT_TRUE(saved);
  EXPECT_EQ(2u, newItems);

  Channel c = storedChannel("c1");
  EXPECT_EQ(L"World news today", c.getTitle());  // XML reads CR LF as LF
  EXPECT_EQ(L"All of it", c.getSummary());
  EXPECT_EQ("csio", c.getEntryType());
  EXPECT_EQ(4, c.getOrder());
  EXPECT_EQ(1209628800, c.getActivationDate());
  EXPECT_EQ(1209628800 + 86400, c.getExpirationDate());
  EXPECT_EQ(L"http://news.example/world", c.getLink().url);
  EXPECT_TRUE(c.hasFlag(NewsObject::FLAG_DISPLAY_IN_EXCERPT));
  EXPECT_TRUE(c.hasFlag(NewsObject::FLAG_SHOW_EXCERPT));
  ASSERT_EQ(1u, c.getMediaMap().count("image"));
  EXPECT_EQ("img-world", c.getMediaMap().at("image").assetId);
  EXPECT_EQ("image/png", c.getMediaMap().at("image").mimeType);
  EXPECT_EQ(L"", c.getMediaMap().at("image").url);
  EXPECT_EQ("tpl-world", c.getTemplateId());
  EXPECT_EQ(L"http://news.example/tpl.xhtml", c.getTemplateUrl());
  EXPECT_EQ("\"S1\"", anchorOf(c));
  EXPECT_EQ((std::vector<qvTypes::ID>{"i1", "i2"}), c.getItemIds());
  // Excerpt: the primary xhtml is keyed by name, the rest by their position;
  // a content without a type or without an href-less content-id is left out.
  const NewsObject::MediaMap& ex = c.getExcerptMap();
  ASSERT_EQ(2u, ex.size());
  ASSERT_EQ(1u, ex.count("primaryxhtml"));
  EXPECT_EQ("ex-1", ex.at("primaryxhtml").assetId);
  EXPECT_EQ("application/xhtml+xml", ex.at("primaryxhtml").mimeType);
  ASSERT_EQ(1u, ex.count("1"));
  EXPECT_EQ("ex-2", ex.at("1").assetId);
  EXPECT_EQ(L"http://news.example/ex-2.gif", ex.at("1").url);

  Item i1 = storedItem("i1");
  EXPECT_EQ(L"Storm & rain", i1.getTitle());
  EXPECT_EQ("csio", i1.getEntryType());  // from the channel
  EXPECT_EQ("tpl-world", i1.getTemplateId());
  EXPECT_EQ(1209628800, i1.getActivationDate());
  EXPECT_EQ(3, i1.getDisplayCount());
  EXPECT_EQ(NewsObject::DEFAULT, i1.getPriority());
  EXPECT_EQ("img-i1", i1.getMediaMap().at("image").assetId);
  EXPECT_EQ(L"http://news.example/i1.jpg", i1.getMediaMap().at("image").url);
  EXPECT_EQ("ex-i1", i1.getExcerptMap().at("teaser").assetId);

  Item i2 = storedItem("i2");
  EXPECT_EQ("cs", i2.getEntryType());
  EXPECT_EQ(NewsObject::HIGH, i2.getPriority());
  EXPECT_EQ(15000, i2.getDisplayTime());
  EXPECT_GE(i2.getActivationDate(), before);
  EXPECT_EQ(i2.getActivationDate() + 600, i2.getExpirationDate());
}

TEST_F(EntryTest, SyncAnchorDecidesWhetherAStoredChannelIsTouched) {
  ASSERT_EQ(flp2::MARSHAL_DONE, run(feedXml("c1", "S1", kChannelBasics + itemXml("i1", "One")), true));
  // Same anchor, not new: nothing is read or written, even a new title.
  const std::string changedBody =
      "<content name=\"title\">Renamed</content><content name=\"layout\">cs</content>" + itemXml("i2", "Two");
  bool saved = true;
  EXPECT_EQ(flp2::MARSHAL_UNCHANGED, run(feedXml("c1", "S1", changedBody), false, &saved));
  EXPECT_FALSE(saved);
  EXPECT_EQ(L"Sport", storedChannel("c1").getTitle());
  EXPECT_FALSE(hasItem("i2"));
  // The same anchor for a channel the container did not list is marshalled.
  EXPECT_EQ(flp2::MARSHAL_DONE, run(feedXml("c1", "S1", changedBody), true));
  EXPECT_EQ(L"Renamed", storedChannel("c1").getTitle());
  // A changed anchor is stored with the channel.
  EXPECT_EQ(flp2::MARSHAL_DONE, run(feedXml("c1", "S2", changedBody), false));
  EXPECT_EQ("\"S2\"", anchorOf(storedChannel("c1")));
}

TEST_F(EntryTest, AbsentModesAndExistingItems) {
  ASSERT_EQ(
      flp2::MARSHAL_DONE,
      run(feedXml("c1", "S1", kChannelBasics + itemXml("i1", "One") + itemXml("i2", "Two") + itemXml("i3", "Three")),
          true));

  // remove: i1 goes; i2 keeps its stored text although the answer has new
  // text for it; i4 is new.
  ASSERT_EQ(flp2::MARSHAL_DONE,
            run(feedXml("c1", "S2", itemXml("i3", "Three") + itemXml("i2", "Two, rewritten") + itemXml("i4", "Four")),
                false));
  EXPECT_EQ(1u, newItems);
  EXPECT_EQ((std::vector<qvTypes::ID>{"i3", "i2", "i4"}), storedChannel("c1").getItemIds());
  EXPECT_FALSE(hasItem("i1"));
  EXPECT_EQ(L"Two", storedItem("i2").getTitle());

  // ignore: nothing stored goes; items both stored and sent are listed once,
  // in the stored order; new ones follow; a repeat in the answer is dropped.
  ASSERT_EQ(flp2::MARSHAL_DONE,
            run(feedXml("c1", "S3", itemXml("i5", "Five") + itemXml("i2", "Two") + itemXml("i5", "Five again"),
                        "absent-mode=\"ignore\""),
                false));
  EXPECT_EQ((std::vector<qvTypes::ID>{"i3", "i2", "i4", "i5"}), storedChannel("c1").getItemIds());
  EXPECT_TRUE(hasItem("i3"));
  EXPECT_EQ(L"Five", storedItem("i5").getTitle());

  // remove with no items empties the channel and the cache of its items.
  ASSERT_EQ(flp2::MARSHAL_DONE, run(feedXml("c1", "S4", ""), false));
  EXPECT_TRUE(storedChannel("c1").getItemIds().empty());
  for (const char* id : {"i2", "i3", "i4", "i5"}) EXPECT_FALSE(hasItem(id)) << id;
}

TEST_F(EntryTest, ContentSetsThatFailTheChannel) {
  struct Case {
    const char* what;
    const char* logLine;
    std::string xml;
  };
  const Case cases[] = {
      {"not a feed", "Content-set should be named feed.",
       "<content-set id=\"c1\" name=\"channel\" sync-anchor=\"S\" absent-mode=\"remove\">" + kChannelBasics +
           "</content-set>"},
      {"no id", "Content-set ID is not set.",
       "<content-set name=\"feed\" sync-anchor=\"S\" absent-mode=\"remove\">" + kChannelBasics + "</content-set>"},
      {"empty id", "Content-set ID is not set.",
       "<content-set id=\"\" name=\"feed\" sync-anchor=\"S\" absent-mode=\"remove\">" + kChannelBasics +
           "</content-set>"},
      {"no sync anchor", "Channel content-set does not have its sync-anchor attribute set.",
       "<content-set id=\"c1\" name=\"feed\" absent-mode=\"remove\">" + kChannelBasics + "</content-set>"},
      {"no absent mode", "This Feed content-set does not have its absent-mode set.",
       feedXml("c1", "S", kChannelBasics, "")},
      {"bad absent mode", "This Feed content-set does not have its absent-mode set.",
       feedXml("c1", "S", kChannelBasics, "absent-mode=\"sometimes\"")},
      {"bad layout", "Encountered an invalid layout value, list. Must be either cs or csio.",
       feedXml("c1", "S", "<content name=\"title\">T</content><content name=\"layout\">list</content>")},
      {"no title", "Channel's title must be set.", feedXml("c1", "S", "<content name=\"layout\">cs</content>")},
      {"no layout", "Channel's layout must be set.", feedXml("c1", "S", "<content name=\"title\">T</content>")},
      {"lifespan backwards", "that is after the expiration time",
       feedXml("c1", "S",
               kChannelBasics + "<lifespan><activation>2008-05-02T00:00:00Z</activation>"
                                "<expiration>2008-05-01T00:00:00Z</expiration></lifespan>")},
      {"negative lifetime", "that is after the expiration time",
       feedXml("c1", "S", kChannelBasics + "<lifespan><lifetime>-5</lifetime></lifespan>")},
      {"lifetime and expiration", "Invalid lifespan primitive.",
       feedXml("c1", "S",
               kChannelBasics + "<lifespan><lifetime>5</lifetime>"
                                "<expiration>2008-05-01T00:00:00Z</expiration></lifespan>")},
      {"unparsable activation", "Unable to convert activation time soon. Aborting",
       feedXml("c1", "S", kChannelBasics + "<lifespan><activation>soon</activation></lifespan>")},
      {"duration with months", "Unable to convert expiration time P1M. Aborting",
       feedXml("c1", "S", kChannelBasics + "<lifespan><expiration>P1M</expiration></lifespan>")},
      {"image without type", "Image content must have its content-type attribute set.",
       feedXml("c1", "S", kChannelBasics + "<content name=\"image\" content-id=\"x\"/>")},
      {"image without id", "Image content must have either its id or its content-id attribute set.",
       feedXml("c1", "S", kChannelBasics + "<content name=\"image\" content-type=\"image/gif\"/>")},
      {"template id without href", "Template has specified a 'id' value is missing its href attribute.",
       feedXml("c1", "S", kChannelBasics + "<content name=\"template\" id=\"t\"/>")},
      {"template without id", "Content primitive representing a template is missing its id attribute.",
       feedXml("c1", "S", kChannelBasics + "<content name=\"template\" href=\"http://t\"/>")},
      {"item without title", "Item's title must be set.",
       feedXml("c1", "S", kChannelBasics + "<content-set id=\"i1\" name=\"item\"/>")},
      {"item without id", "Content-set does not have its id attribute set.",
       feedXml("c1", "S",
               kChannelBasics + "<content-set name=\"item\">"
                                "<content name=\"title\">T</content></content-set>")},
      {"item with bad layout", "Encountered an invalid layout value, grid.",
       feedXml("c1", "S", kChannelBasics + itemXml("i1", "T", "<content name=\"layout\">grid</content>"))},
      {"negative display count", "Unable to convert -1 to an displaycount integer",
       feedXml("c1", "S", kChannelBasics + itemXml("i1", "T", "<content name=\"displaycount\">-1</content>"))},
      {"huge display count", "Unable to convert 99999999999 to an displaycount integer",
       feedXml("c1", "S", kChannelBasics + itemXml("i1", "T", "<content name=\"displaycount\">99999999999</content>"))},
      {"display count with junk", "Unable to convert 12abc to an displaycount integer",
       feedXml("c1", "S", kChannelBasics + itemXml("i1", "T", "<content name=\"displaycount\">12abc</content>"))},
      {"item lifespan backwards",
       "Unable to marshall an Item from a DCD content-set. Will abort processing of the entire Channel.",
       feedXml("c1", "S",
               kChannelBasics + itemXml("i0", "fine") +
                   itemXml("i1", "T",
                           "<lifespan><activation>PT2H</activation>"
                           "<expiration>PT1H</expiration></lifespan>"))},
  };
  for (const Case& c : cases) {
    flp2test::LogCapture caseLog;
    bool saved = true;
    EXPECT_EQ(flp2::MARSHAL_FAILED, run(c.xml, true, &saved)) << c.what;
    EXPECT_TRUE(caseLog.contains(c.logLine)) << c.what << ": " << caseLog.text();
    EXPECT_FALSE(saved) << c.what;
    Channel ch;
    EXPECT_NE(0, cache().get("c1", ch)) << c.what;
    EXPECT_FALSE(hasItem("i0")) << c.what;
  }
}

TEST_F(EntryTest, LifespansThatAreAccepted) {
  struct Case {
    const char* lifespan;
    long activation;  // -1: now
    long expiration;  // -1: now
  };
  const Case cases[] = {
      {"<activation>2008-05-01T08:00:00Z</activation><expiration>2008-05-01T08:00:00Z</expiration>", 1209628800,
       1209628800},  // equal is accepted
      {"<activation>2008-05-01T08:00:00Z</activation>", 1209628800, NewsObject::NO_EXPIRATION_DATE},
      {"<expiration>2008-05-01T08:00:00Z</expiration>", NewsObject::NO_ACTIVATION_DATE, 1209628800},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(flp2::MARSHAL_DONE,
              run(feedXml("c1", "S", kChannelBasics + "<lifespan>" + c.lifespan + "</lifespan>"), true))
        << c.lifespan;
    Channel ch = storedChannel("c1");
    EXPECT_EQ(c.activation, ch.getActivationDate()) << c.lifespan;
    EXPECT_EQ(c.expiration, ch.getExpirationDate()) << c.lifespan;
  }
  const long before = static_cast<long>(std::time(nullptr));
  ASSERT_EQ(flp2::MARSHAL_DONE,
            run(feedXml("c1", "S", kChannelBasics + "<lifespan><expiration>P1D</expiration></lifespan>"), true));
  Channel ch = storedChannel("c1");
  EXPECT_EQ(NewsObject::NO_ACTIVATION_DATE, ch.getActivationDate());
  EXPECT_GE(ch.getExpirationDate(), before + 86400);
  EXPECT_LE(ch.getExpirationDate(), static_cast<long>(std::time(nullptr)) + 86400);
}

}  // namespace
