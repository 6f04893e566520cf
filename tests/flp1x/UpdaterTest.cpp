// The FLP 1.x content updater against a scripted transport: the asset
// stage (batches, what an answer may fill, what a failure leaves), the
// MSISDN rule, cancellation at every point of an update and a store that
// fails. Requests, headers and whole updates against a real server are in
// tests/integration/Flp1xUpdateTest.cpp.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Flp1xContentUpdater.h"
#include "Flp1xTestSupport.h"
#include "RecordingFacade.h"
#include "ScriptedTransport.h"

namespace {

using flp1xtest::Answer;
using flp1xtest::FreshHome;
using flp1xtest::Script;

constexpr int kDcd = 1;
constexpr int kDevice = 12;

// One channel, one entry; five assets known by id (a1..a5) and two by URL.
const char kAssetsPkg[] =
    "<sync-pkg><meta><global-meta anchor=\"g1\" ttl=\"0\" server-time=\"1767225600000\"/>"
    "<feed-meta ctxt-id=\"c1\" anchor=\"c1-a\" target=\"idle\"/></meta>"
    "<feed ctxt-id=\"c1\"><title>C1</title><entry ctxt-id=\"e1\"><title>E1</title>"
    "<content type=\"image/png\" name=\"n1\" ctxt-id=\"a1\"/>"
    "<content type=\"image/png\" name=\"n2\" ctxt-id=\"a2\"/>"
    "<content type=\"image/png\" name=\"n3\" ctxt-id=\"a3\"/>"
    "<content type=\"image/png\" name=\"n4\" ctxt-id=\"a4\"/>"
    "<content type=\"image/png\" name=\"n5\" ctxt-id=\"a5\"/>"
    "<content type=\"image/gif\" name=\"u1\" ctxt-id=\"u1\" href=\"http://assets.example/u1.gif\"/>"
    "<content type=\"text/xml\" name=\"u2\" ctxt-id=\"u2\" href=\"http://assets.example:81/x/u2.xml\"/>"
    "</entry></feed></sync-pkg>";

Answer body(const std::string& bytes) {
  Answer a;
  a.headers = {{"Content-Type", "application/octet-stream"}};
  a.body = bytes;
  return a;
}

class UpdaterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setText(kDcd, "flp1x.ServerURL", "http://srv.example:8080/flp");
    setText(kDevice, "MSISDN", "4915112345678");
    setText(kDcd, "flp1x.MaxAssetsType2", "2");
  }

  static void setText(int category, const std::string& key, const std::string& value) {
    ASSERT_EQ(0, FreshHome::settings().setString(category, key, MString::toWide(value)));
  }
  static std::string text(const std::string& key) {
    return Flp1xPlatformWrapper::getStringSetting(key, "QVCore.DCD");
  }

  Flp1xContentUpdater& updater() {
    if (!mUpdater) {
      mUpdater.reset(new Flp1xContentUpdater("container1"));
      std::shared_ptr<Script> s = script;
      mUpdater->setTransportFactory([s] { return new flp1xtest::ScriptedTransport(s); });
    }
    return *mUpdater;
  }

  int run(ProtocolRequest::RequestType type = ProtocolRequest::CONTENT) {
    ProtocolRequest request(ProtocolRequest::MANUAL);
    if (type == ProtocolRequest::DATA) request.setType(ProtocolRequest::DATA);
    ProtocolResponse response = updater().update(&request);
    EXPECT_EQ(10, request.getState());
    return response.mCode;
  }

  std::map<std::string, std::string> assets() {
    std::map<std::string, std::string> out;
    for (const auto& a : FreshHome::cache().listAssets()) {
      std::string bytes;
      std::ifstream in(a.path, std::ios::binary);
      bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      out[a.id] = a.mime + " " + bytes;
    }
    return out;
  }

  // The kind of each request: "1", "2 <ids>" or "3 <url>".
  std::vector<std::string> sent() {
    std::vector<std::string> out;
    for (const flp1xtest::SentRequest& r : script->requests()) {
      if (r.type == HttpRequest::TYPE_CONTENT) out.push_back("1");
      if (r.type == HttpRequest::TYPE_DATA_BY_IDS) out.push_back("2 " + r.header("X-FL-Request-Id"));
      if (r.type == HttpRequest::TYPE_DATA_BY_URL) out.push_back("3 " + r.url);
    }
    return out;
  }

  std::vector<qvTypes::ID> storedChannels() {
    Container c;
    if (FreshHome::cache().get("container1", c) != 0) return {};
    return c.getChannelIds();
  }

  FreshHome home;
  RecordingFacade facade;
  LogCapture log;
  std::shared_ptr<Script> script = std::make_shared<Script>();
  std::unique_ptr<Flp1xContentUpdater> mUpdater;
};

using Strings = std::vector<std::string>;

TEST_F(UpdaterTest, AssetsByIdGoInBatchesAndAnAnswerFillsOnlyWhatItWasAskedFor) {
  script->answers = {
      flp1xtest::package(kAssetsPkg),
      // a1 and a2; a part without an id, one nobody asked for.
      flp1xtest::multipart({{"a1", "image/png", "one\r\nline two"},
                            {"", "image/png", "no id"},
                            {"e1", "text/plain", "not asked"},
                            {"a2", "image/x-png", "two"}}),
      // a3 and a4: the exchange breaks; nothing of it is kept.
      [] {
        Answer a = flp1xtest::multipart({{"a3", "image/png", "three"}});
        a.result = TRANSPORT_FAILED;
        return a;
      }(),
      body("gif bytes"),
      body("<xml/>"),
  };
  EXPECT_EQ(FAILED, run());
  // The batch that failed ends the by-id stage; the by-URL stage still runs.
  EXPECT_EQ((Strings{"1", "2 a1,a2", "2 a3,a4", "3 http://assets.example/u1.gif",
                     "3 http://assets.example:81/x/u2.xml"}),
            sent());
  EXPECT_EQ((std::map<std::string, std::string>{{"a1", "image/png one\r\nline two"},
                                                {"a2", "image/x-png two"},
                                                {"u1", "image/gif gif bytes"},
                                                {"u2", "text/xml <xml/>"}}),
            assets());
  EXPECT_TRUE(log.contains("Type2 part e1 was not asked for; skipped."));
  EXPECT_TRUE(log.contains("Type2 Request Failed."));

  // A retry of the data stage asks only for what is still missing, and in
  // batches of the configured size.
  script->answers = {flp1xtest::multipart({{"a3", "image/png", "3"}, {"a4", "image/png", "4"}}),
                     flp1xtest::multipart({{"a5", "image/png", "5"}})};
  script->next = 0;
  script->sent.clear();
  EXPECT_EQ(SUCCESS, run(ProtocolRequest::DATA));
  EXPECT_EQ((Strings{"2 a3,a4", "2 a5"}), sent());
  EXPECT_EQ(7u, assets().size());
}

TEST_F(UpdaterTest, WithoutAnMsisdnTheAssetsByUrlAreSkippedAndTheUpdateFails) {
  FreshHome::settings().remove(kDevice, "MSISDN");
  script->answers = {flp1xtest::package(kAssetsPkg),
                     flp1xtest::multipart({{"a1", "image/png", "1"}, {"a2", "image/png", "2"}}),
                     flp1xtest::multipart({{"a3", "image/png", "3"}, {"a4", "image/png", "4"}}),
                     flp1xtest::multipart({{"a5", "image/png", "5"}})};
  EXPECT_EQ(FAILED, run());
  EXPECT_EQ((Strings{"1", "2 a1,a2", "2 a3,a4", "2 a5"}), sent());
  EXPECT_EQ(5u, assets().size());
  EXPECT_EQ("", script->requests()[1].header("X-FL-MSISDN"));
  EXPECT_TRUE(log.contains("FLP1x can't get MSISDN!"));
  EXPECT_TRUE(log.contains("ContentUpdater::can't get MSISDN!"));
  EXPECT_TRUE(log.contains("Type3 stage skipped: 2 assets by URL are not fetched without an MSISDN."));
}

TEST_F(UpdaterTest, ACancelEndsTheUpdateAtOnceWhereverItComes) {
  struct Case {
    const char* what;
    size_t cancelAt;  // the request during which the cancel comes
    Strings sent;
    bool contentStored;
    size_t assets;
  };
  const Case cases[] = {
      {"during the content request", 0, {"1"}, false, 0},
      {"during a request by ids", 1, {"1", "2 a1,a2"}, true, 0},
      {"during the first request by URL", 4, {"1", "2 a1,a2", "2 a3,a4", "2 a5", "3 http://assets.example/u1.gif"},
       true, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FreshHome fresh;
    setText(kDcd, "flp1x.ServerURL", "http://srv.example:8080/flp");
    setText(kDevice, "MSISDN", "4915112345678");
    setText(kDcd, "flp1x.MaxAssetsType2", "2");
    script = std::make_shared<Script>();
    mUpdater.reset();
    script->answers = {flp1xtest::package(kAssetsPkg),
                       flp1xtest::multipart({{"a1", "image/png", "1"}, {"a2", "image/png", "2"}}),
                       flp1xtest::multipart({{"a3", "image/png", "3"}, {"a4", "image/png", "4"}}),
                       flp1xtest::multipart({{"a5", "image/png", "5"}}), body("u1"), body("u2")};
    script->answers[c.cancelAt].during = [this] { mUpdater->cancel(); };
    EXPECT_EQ(CANCELLED, run());
    EXPECT_EQ(c.sent, sent());
    EXPECT_EQ(c.contentStored, !storedChannels().empty());
    EXPECT_EQ(c.contentStored ? "g1" : "", text("RuntimeValues.AppSyncAnchor"));
    EXPECT_EQ(c.assets, assets().size());
  }
}

TEST_F(UpdaterTest, ACancelFromAnotherThreadStopsABlockedRequest) {
  Answer hanging = flp1xtest::package(kAssetsPkg);
  hanging.blockUntilCancelled = true;
  script->answers = {hanging};
  updater();
  std::thread canceller([this] {
    while (script->requests().empty()) std::this_thread::yield();
    mUpdater->cancel();
  });
  EXPECT_EQ(CANCELLED, run());
  canceller.join();
  EXPECT_TRUE(storedChannels().empty());
  EXPECT_TRUE(facade.eventsOn(PROTOCOL_TOPIC_TTLUPDATE).empty());
}

TEST_F(UpdaterTest, ACancelJustBeforeTheUpdateIsNotLost) {
  script->answers = {flp1xtest::package(kAssetsPkg)};
  updater().cancel();
  EXPECT_EQ(CANCELLED, run());
  EXPECT_TRUE(script->requests().empty());
}

// A model whose store fails (the cache cannot commit the sync).
class RefusingModel : public Model {
 public:
  RefusingModel() : Model("container1") {}
  bool store(const SyncPkg&) override { return false; }
};

TEST_F(UpdaterTest, AStoreThatFailsFailsTheUpdateBeforeStatisticsAndAssets) {
  ModelFacade::setModel(std::unique_ptr<IModel>(new RefusingModel));
  script->answers = {flp1xtest::package(kAssetsPkg)};
  EXPECT_EQ(FAILED, run());
  EXPECT_EQ((Strings{"1"}), sent());
  EXPECT_EQ(0, Flp1xPlatformWrapper::getIntSetting("RuntimeValues.LastUpdateTime", "QVCore.DCD"));
  for (const RecordedEvent& e : facade.eventsOn(PROTOCOL_TOPIC_REPORTSTATUS)) EXPECT_NE("complete", e.prop("status"));
}

}  // namespace
