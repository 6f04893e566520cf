// The service application's work handling, driven without a bus: events are
// handed to onEvent on the test thread (the event thread's role) while run()
// works on a thread of its own (the main thread's role).
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "RecordingFacade.h"
#include "framework/ProtocolApp.h"

namespace {

// Shared control of the fake engines one test creates.
struct EngineControl {
  std::mutex lock;
  std::condition_variable cond;
  int created = 0;
  int started = 0;           // handleRequest calls begun
  int cancels = 0;           // cancel calls
  bool blockFirst = false;   // the first engine blocks until cancelled and released
  bool released = false;
  bool messageResult = true;
  std::vector<int> triggers;  // trigger of every handled request, in order

  template <class Pred>
  bool waitUntil(Pred pred) {
    std::unique_lock<std::mutex> guard(lock);
    return cond.wait_for(guard, std::chrono::seconds(5), pred);
  }
};

class FakeEngine : public Protocol {
 public:
  FakeEngine(EngineControl& control, int index) : Protocol(0), mControl(control), mIndex(index) {}

  ProtocolResponse handleRequest(ProtocolRequest* request) override {
    std::unique_lock<std::mutex> guard(mControl.lock);
    ++mControl.started;
    mControl.triggers.push_back(request->getTrigger());
    mControl.cond.notify_all();
    ProtocolResponse response;
    if (mIndex == 0 && mControl.blockFirst) {
      mControl.cond.wait(guard, [&] { return mCancelled && mControl.released; });
      response.mCode = CANCELLED;
    }
    response.mStrings.push_back("ignored");
    return response;
  }
  bool handleMessage(PushMessage* message) override {
    std::lock_guard<std::mutex> guard(mControl.lock);
    EXPECT_EQ("UTF8", message->getCharset());
    return mControl.messageResult;
  }
  bool cancel() override {
    std::lock_guard<std::mutex> guard(mControl.lock);
    ++mControl.cancels;
    mCancelled = true;
    mControl.cond.notify_all();
    return true;
  }

 private:
  EngineControl& mControl;
  int mIndex;
  bool mCancelled = false;  // guarded by mControl.lock
};

class FakeFactory : public ProtocolFactory {
 public:
  explicit FakeFactory(EngineControl& control) : mControl(control) {}
  std::unique_ptr<Protocol> create(const std::string& version) override {
    if (version != "fake") return nullptr;
    std::lock_guard<std::mutex> guard(mControl.lock);
    return std::make_unique<FakeEngine>(mControl, mControl.created++);
  }
  bool supports(const std::string& version) override { return version == "fake"; }

 private:
  EngineControl& mControl;
};

class ProtocolAppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app = std::make_unique<ProtocolApp>(&factory);
    loop = std::thread([this] {
      app->run();
      finished = true;
    });
  }
  void TearDown() override {
    if (loop.joinable()) {
      deliver(PROTOCOL_TOPIC_SHUTDOWN, {{"protocolversion", "other"}});
      loop.join();
    }
    app.reset();
  }

  void deliver(const char* topic, const std::map<std::string, std::string>& props,
               const std::string& payload = "") {
    ES_Event event(topic, payload.data(), payload.data() + payload.size(), props);
    app->onEvent(event);
  }
  void update(const char* trigger, const char* version = "fake") {
    deliver(PROTOCOL_TOPIC_UPDATE, {{"protocolversion", version}, {"trigger", trigger}});
  }
  // Waits until the loop has nothing left to do: every response expected
  // has arrived and the loop is back waiting.
  void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }

  LogCapture log;
  RecordingFacade facade;
  EngineControl control;
  FakeFactory factory{control};
  std::unique_ptr<ProtocolApp> app;
  std::thread loop;
  std::atomic<bool> finished{false};
};

TEST_F(ProtocolAppTest, ThreeRapidUpdatesRunTheFirstAndTheLast) {
  control.blockFirst = true;
  update("man");
  ASSERT_TRUE(control.waitUntil([&] { return control.started == 1; }));

  update("sim");  // cancels the first, waits in the slot
  update("mr");   // replaces the second before the loop wakes
  {
    std::lock_guard<std::mutex> guard(control.lock);
    control.released = true;
    control.cond.notify_all();
  }
  ASSERT_TRUE(facade.waitFor(PROTOCOL_TOPIC_RESPONSE, 2));
  settle();

  auto responses = facade.eventsOn(PROTOCOL_TOPIC_RESPONSE);
  ASSERT_EQ(2u, responses.size());
  EXPECT_EQ("man", responses[0].prop("trigger"));
  EXPECT_EQ(CANCELLED, responses[0].value);
  EXPECT_EQ("content", responses[0].prop("type"));
  EXPECT_EQ("mr", responses[1].prop("trigger"));
  EXPECT_EQ(SUCCESS, responses[1].value);

  std::lock_guard<std::mutex> guard(control.lock);
  EXPECT_EQ((std::vector<int>{ProtocolRequest::MANUAL, ProtocolRequest::MASTER_RESET}), control.triggers);
  EXPECT_EQ(2, control.created);
  EXPECT_GE(control.cancels, 1);
  // The discarded request was freed without running.
  EXPECT_EQ(3u, log.count("is being deleted."));
}

TEST_F(ProtocolAppTest, CancelWhileIdleOnlyLogsCompletion) {
  settle();
  deliver(PROTOCOL_TOPIC_CANCEL, {});
  EXPECT_EQ(1u, log.count("~]cancel complate"));
  EXPECT_EQ(0u, log.count("~]cancel("));
  EXPECT_EQ(0, control.cancels);
}

TEST_F(ProtocolAppTest, CancelEventCancelsTheRunningItem) {
  control.blockFirst = true;
  control.released = true;
  update("ttl");
  ASSERT_TRUE(control.waitUntil([&] { return control.started == 1; }));
  deliver(PROTOCOL_TOPIC_CANCEL, {});
  ASSERT_TRUE(facade.waitFor(PROTOCOL_TOPIC_RESPONSE, 1));
  EXPECT_EQ(CANCELLED, facade.eventsOn(PROTOCOL_TOPIC_RESPONSE)[0].value);
  EXPECT_EQ(1u, log.count("~]cancel("));
}

TEST_F(ProtocolAppTest, ShutdownForOwnVersionIsIgnored) {
  deliver(PROTOCOL_TOPIC_SHUTDOWN, {{"protocolversion", "fake"}});
  update("man");
  ASSERT_TRUE(facade.waitFor(PROTOCOL_TOPIC_RESPONSE, 1));
  EXPECT_FALSE(finished);
}

TEST_F(ProtocolAppTest, ShutdownForAnotherVersionOrNoneEndsTheLoop) {
  for (auto props : {std::map<std::string, std::string>{{"protocolversion", "flp1x"}},
                     std::map<std::string, std::string>{}}) {
    deliver(PROTOCOL_TOPIC_SHUTDOWN, props);
    loop.join();
    EXPECT_TRUE(finished);
    EXPECT_TRUE(log.contains("ProtocolApp exiting."));
    // Next round on a fresh application.
    finished = false;
    app = std::make_unique<ProtocolApp>(&factory);
    loop = std::thread([this] {
      app->run();
      finished = true;
    });
  }
}

TEST_F(ProtocolAppTest, ShutdownWhileBusyCancelsAndStillResponds) {
  control.blockFirst = true;
  control.released = true;
  update("man");
  ASSERT_TRUE(control.waitUntil([&] { return control.started == 1; }));
  deliver(PROTOCOL_TOPIC_SHUTDOWN, {{"protocolversion", "flp20"}});
  loop.join();
  auto responses = facade.eventsOn(PROTOCOL_TOPIC_RESPONSE);
  ASSERT_EQ(1u, responses.size());
  EXPECT_EQ(CANCELLED, responses[0].value);
}

TEST_F(ProtocolAppTest, PushMessagesAreAnswered) {
  const struct {
    const char* version;
    bool engineResult;
    int code;
  } cases[] = {{"fake", true, 0}, {"fake", false, 1}};
  size_t expected = 0;
  for (const auto& c : cases) {
    {
      std::lock_guard<std::mutex> guard(control.lock);
      control.messageResult = c.engineResult;
    }
    deliver(PROTOCOL_TOPIC_MESSAGE, {{"protocolversion", c.version}, {"content-type", "text/plain"}}, "body");
    ASSERT_TRUE(facade.waitFor(PROTOCOL_TOPIC_RESPONSE, ++expected));
    RecordedEvent r = facade.eventsOn(PROTOCOL_TOPIC_RESPONSE).back();
    EXPECT_EQ(c.code, r.value) << c.version << " " << c.engineResult;
    EXPECT_EQ("push_message", r.prop("trigger"));
    EXPECT_EQ("push_message", r.prop("type"));
    EXPECT_EQ("fake", r.prop("protocolversion"));
  }
}

TEST_F(ProtocolAppTest, RetryPublishesItsTypeFirst) {
  deliver(PROTOCOL_TOPIC_RETRY, {{"protocolversion", "fake"}, {"type", "data"}, {"trigger", "svr"}});
  ASSERT_TRUE(facade.waitFor(PROTOCOL_TOPIC_RESPONSE, 1));
  auto all = facade.events();
  ASSERT_GE(all.size(), 2u);
  EXPECT_EQ(PROTOCOL_TOPIC_REPORTSTATUS, all[0].name);
  EXPECT_EQ("connecting", all[0].prop("status"));
  EXPECT_EQ("data", all[0].prop("type"));
  EXPECT_EQ("fake", all[0].prop("protocolversion"));
  RecordedEvent r = facade.eventsOn(PROTOCOL_TOPIC_RESPONSE)[0];
  EXPECT_EQ("svr", r.prop("trigger"));
  EXPECT_EQ("data", r.prop("type"));
  EXPECT_EQ("fake", r.prop("protocolversion"));
}

TEST_F(ProtocolAppTest, IncompleteEventsAreDroppedWithTheirLogLine) {
  update("");  // present but empty
  deliver(PROTOCOL_TOPIC_UPDATE, {});
  deliver(PROTOCOL_TOPIC_MESSAGE, {{"protocolversion", "fake"}});
  deliver(PROTOCOL_TOPIC_RETRY, {{"protocolversion", "fake"}, {"trigger", "man"}});
  deliver("/kestrova/quorvel/newsreader/protocol/other", {});
  settle();
  EXPECT_TRUE(log.contains("Event has no property:trigger"));
  EXPECT_TRUE(log.contains("Error event, no properties"));
  EXPECT_TRUE(log.contains("Event has no property:content-type"));
  EXPECT_TRUE(log.contains("Event has no property:type"));
  EXPECT_TRUE(log.contains("Met unknow event:/kestrova/quorvel/newsreader/protocol/other"));
  // The message was dropped before its version was read.
  EXPECT_FALSE(log.contains("Event has no property:protocolversion"));
  EXPECT_TRUE(facade.events().empty());
  std::lock_guard<std::mutex> guard(control.lock);
  EXPECT_EQ(0, control.created);
}

// Update, retry and message events for a version another service serves
// belong to that service: they neither cancel the running item nor get an
// answer from this one.
TEST_F(ProtocolAppTest, WorkForAnotherVersionIsIgnored) {
  control.blockFirst = true;
  update("man");
  ASSERT_TRUE(control.waitUntil([&] { return control.started == 1; }));

  update("sim", "flp1x");
  deliver(PROTOCOL_TOPIC_RETRY, {{"protocolversion", "flp1x"}, {"type", "data"}, {"trigger", "svr"}});
  deliver(PROTOCOL_TOPIC_MESSAGE, {{"protocolversion", "flp1x"}, {"content-type", "text/plain"}}, "body");
  settle();
  {
    std::lock_guard<std::mutex> guard(control.lock);
    EXPECT_EQ(0, control.cancels);
    control.released = true;
  }
  // Only a cancel of this service's own ends the first item now.
  deliver(PROTOCOL_TOPIC_CANCEL, {});
  ASSERT_TRUE(facade.waitFor(PROTOCOL_TOPIC_RESPONSE, 1));
  settle();

  auto responses = facade.eventsOn(PROTOCOL_TOPIC_RESPONSE);
  ASSERT_EQ(1u, responses.size());
  EXPECT_EQ("man", responses[0].prop("trigger"));
  EXPECT_EQ("fake", responses[0].prop("protocolversion"));
  EXPECT_TRUE(facade.eventsOn(PROTOCOL_TOPIC_REPORTSTATUS).empty());  // the retry's type went unannounced
  EXPECT_EQ(3u, log.count("Ignoring the event for version flp1x"));
  std::lock_guard<std::mutex> guard(control.lock);
  EXPECT_EQ(1, control.created);
  EXPECT_EQ(1, control.cancels);
}

}  // namespace
