// The service application's bus methods and properties, driven without a
// bus: onMethod and property are called on the test thread (the event
// thread's role) while run() works on a thread of its own.
#include <gtest/gtest.h>

#include <condition_variable>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>

#include "RecordingFacade.h"
#include "framework/ProtocolApp.h"

namespace {

// What the engines of one test saw, and what they read from the service's
// properties while they ran.
struct Seen {
  std::mutex lock;
  std::condition_variable cond;
  int started = 0;
  bool block = false;       // the engine waits until cancelled
  bool cancelled = false;
  std::vector<std::string> states;  // State after each status change
  std::vector<std::map<std::string, std::string>> requests;  // CurrentRequest, same moments
  std::string body;
  std::string payload;
};

class Engine : public Protocol {
 public:
  Engine(Seen& seen, ProtocolApp*& app) : Protocol(0), mSeen(seen), mApp(app) {}
  ProtocolResponse handleRequest(ProtocolRequest* request) override {
    {
      std::unique_lock<std::mutex> guard(mSeen.lock);
      ++mSeen.started;
      mSeen.cond.notify_all();
      if (mSeen.block) mSeen.cond.wait(guard, [&] { return mSeen.cancelled; });
    }
    note();
    request->setStatus(ProtocolRequest::DOWNLOADING);
    note();
    request->setStatus(ProtocolRequest::COMPLETE);
    request->setType(ProtocolRequest::DATA);
    note();
    request->setStatus(ProtocolRequest::CONNECTING);
    note();
    ProtocolResponse r;
    r.mCode = FAILED;
    return r;
  }
  bool handleMessage(PushMessage* message) override {
    std::lock_guard<std::mutex> guard(mSeen.lock);
    mSeen.body = message->getBody();
    mSeen.payload = message->getPayload();
    return true;
  }
  bool cancel() override {
    std::lock_guard<std::mutex> guard(mSeen.lock);
    mSeen.cancelled = true;
    mSeen.cond.notify_all();
    return true;
  }

 private:
  void note() {
    qvbus::PropertyValue state = mApp->property("State");
    qvbus::PropertyValue current = mApp->property("CurrentRequest");
    std::lock_guard<std::mutex> guard(mSeen.lock);
    mSeen.states.push_back(state.text);
    mSeen.requests.push_back(current.map);
  }
  Seen& mSeen;
  ProtocolApp*& mApp;
};

class Factory : public ProtocolFactory {
 public:
  Factory(Seen& seen, ProtocolApp*& app) : mSeen(seen), mApp(app) {}
  std::unique_ptr<Protocol> create(const std::string& version) override {
    if (!supports(version)) return nullptr;
    return std::make_unique<Engine>(mSeen, mApp);
  }
  bool supports(const std::string& version) override { return version == "fake" || version == "fake_s"; }
  std::vector<std::string> versions() override { return {"fake", "fake_s"}; }

 private:
  Seen& mSeen;
  ProtocolApp*& mApp;
};

class MethodTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app = std::make_unique<ProtocolApp>(&factory);
    raw = app.get();
    loop = std::thread([this] { app->run(); });
  }
  void TearDown() override {
    if (loop.joinable()) {
      app->requestShutdown();
      loop.join();
    }
    app.reset();
  }
  qvbus::MethodReply call(const std::string& method, const std::vector<std::string>& args) {
    return app->onMethod(method, args);
  }

  LogCapture log;
  RecordingFacade facade;
  Seen seen;
  ProtocolApp* raw = nullptr;
  Factory factory{seen, raw};
  std::unique_ptr<ProtocolApp> app;
  std::thread loop;
};

TEST_F(MethodTest, MethodsPostTheSameWorkAsTheEvents) {
  EXPECT_EQ("", call("Update", {"fake", "sim"}).errorName);
  ASSERT_TRUE(facade.waitFor(PROTOCOL_TOPIC_RESPONSE, 1));
  EXPECT_EQ("", call("Retry", {"fake_s", "data", "svr"}).errorName);
  ASSERT_TRUE(facade.waitFor(PROTOCOL_TOPIC_RESPONSE, 2));
  const std::string payload("ab\0cd", 5);
  EXPECT_EQ("", call("Push", {"fake", "text/plain", payload}).errorName);
  ASSERT_TRUE(facade.waitFor(PROTOCOL_TOPIC_RESPONSE, 3));

  auto responses = facade.eventsOn(PROTOCOL_TOPIC_RESPONSE);
  EXPECT_EQ("sim", responses[0].prop("trigger"));
  EXPECT_EQ(FAILED, responses[0].value);
  EXPECT_EQ("svr", responses[1].prop("trigger"));
  EXPECT_EQ("push_message", responses[2].prop("trigger"));
  // A retry announces its type at once, before it runs, as the event does:
  // the first status after the first answer.
  auto all = facade.events();
  size_t at = 0;
  while (at < all.size() && all[at].name != PROTOCOL_TOPIC_RESPONSE) ++at;
  while (at < all.size() && all[at].name != PROTOCOL_TOPIC_REPORTSTATUS) ++at;
  ASSERT_LT(at, all.size());
  EXPECT_EQ("connecting", all[at].prop("status"));
  EXPECT_EQ("data", all[at].prop("type"));
  std::lock_guard<std::mutex> guard(seen.lock);
  EXPECT_EQ("ab", seen.body) << "the message text ends at the first NUL byte";
  EXPECT_EQ(payload, seen.payload) << "the payload keeps every byte";
}

TEST_F(MethodTest, BadArgumentsAreRefusedAndNothingIsPosted) {
  struct Case {
    const char* method;
    std::vector<std::string> args;
    const char* fragment;
  };
  const std::string huge(100000, 'v');
  const Case cases[] = {
      {"Update", {"", "man"}, "the version is empty"},
      {"Update", {huge, "man"}, "is too long"},
      {"Update", {"flp1x", "man"}, "does not serve the version 'flp1x'; it serves fake, fake_s"},
      {"Update", {"fake", "MAN"}, "unknown trigger 'MAN'"},
      {"Update", {"fake", ""}, "unknown trigger ''"},
      {"Retry", {"fake", "assets", "man"}, "unknown type 'assets'"},
      {"Retry", {"other", "content", "man"}, "does not serve"},
      {"Push", {"fake", "", "x"}, "the content type is empty"},
      {"Push", {"fake", std::string(300, 't'), "x"}, "the content type"},
      {"Push", {"fake", "text/plain", std::string(kMaxPushPayloadBytes + 1, 'p')}, "bytes; at most"},
      {"Shutdown", {"fake_s"}, "a shutdown ends only the services that do not serve"},
      {"Shutdown", {huge}, "is too long"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.fragment);
    qvbus::MethodReply reply = call(c.method, c.args);
    EXPECT_EQ(qvbus::kErrorInvalidArgs, reply.errorName);
    EXPECT_NE(std::string::npos, reply.errorMessage.find(c.fragment)) << reply.errorMessage;
    EXPECT_LT(reply.errorMessage.size(), 300u) << "a huge argument makes no huge reply";
  }
  // The service still serves, and the refused calls left nothing behind:
  // the only response is the good call's.
  EXPECT_EQ("", call("Update", {"fake", "mc"}).errorName);
  ASSERT_TRUE(facade.waitFor(PROTOCOL_TOPIC_RESPONSE, 1));
  app->requestShutdown();
  loop.join();
  auto responses = facade.eventsOn(PROTOCOL_TOPIC_RESPONSE);
  ASSERT_EQ(1u, responses.size());
  EXPECT_EQ("mc", responses[0].prop("trigger"));
  EXPECT_EQ(12u, log.count("Refusing the method call"));
}

TEST_F(MethodTest, PropertiesFollowTheRunningItem) {
  EXPECT_EQ("idle", app->property("State").text);
  EXPECT_EQ(-1, app->property("LastResult").number);
  EXPECT_EQ(0, app->property("LastUpdate").number);
  EXPECT_EQ((std::vector<std::string>{"fake", "fake_s"}), app->property("Versions").list);

  const int64_t before = static_cast<int64_t>(std::time(nullptr));
  ASSERT_EQ("", call("Update", {"fake", "man"}).errorName);
  ASSERT_TRUE(facade.waitFor(PROTOCOL_TOPIC_RESPONSE, 1));
  app->requestShutdown();
  loop.join();  // the item's last property writes are done

  {
    std::lock_guard<std::mutex> guard(seen.lock);
    // Before the first status: connecting; "complete" keeps the state until
    // the next phase connects.
    EXPECT_EQ((std::vector<std::string>{"connecting", "downloading", "downloading", "connecting"}), seen.states);
    ASSERT_EQ(4u, seen.requests.size());
    const std::map<std::string, std::string> content{{"version", "fake"}, {"trigger", "man"}, {"type", "content"}};
    std::map<std::string, std::string> data = content;
    data["type"] = "data";
    EXPECT_EQ(content, seen.requests[0]);
    EXPECT_EQ(data, seen.requests[3]);
  }
  EXPECT_EQ("idle", app->property("State").text);
  EXPECT_TRUE(app->property("CurrentRequest").map.empty());
  EXPECT_EQ(FAILED, app->property("LastResult").number);
  EXPECT_GE(app->property("LastUpdate").number, before);
  EXPECT_LE(app->property("LastUpdate").number, static_cast<int64_t>(std::time(nullptr)));
}

TEST_F(MethodTest, APushedMessageIsNotAnUpdate) {
  ASSERT_EQ("", call("Push", {"fake", "text/plain", "body"}).errorName);
  ASSERT_TRUE(facade.waitFor(PROTOCOL_TOPIC_RESPONSE, 1));
  app->requestShutdown();
  loop.join();
  EXPECT_EQ(-1, app->property("LastResult").number);
  EXPECT_EQ(0, app->property("LastUpdate").number);
  EXPECT_EQ("idle", app->property("State").text);
}

TEST_F(MethodTest, CallsDuringAShutdownAreRefused) {
  seen.block = true;
  ASSERT_EQ("", call("Update", {"fake", "man"}).errorName);
  {
    std::unique_lock<std::mutex> guard(seen.lock);
    ASSERT_TRUE(seen.cond.wait_for(guard, std::chrono::seconds(10), [&] { return seen.started == 1; }));
  }
  // Another service's version, or none, ends this one; the running item is
  // cancelled and still answered.
  EXPECT_EQ("", call("Shutdown", {""}).errorName);
  for (const char* method : {"Update", "Cancel", "Shutdown"}) {
    qvbus::MethodReply reply = method == std::string("Cancel") ? call(method, {}) : call(method, {"fake", "man"});
    EXPECT_EQ(qvbus::kErrorShuttingDown, reply.errorName) << method;
  }
  loop.join();
  auto responses = facade.eventsOn(PROTOCOL_TOPIC_RESPONSE);
  ASSERT_EQ(1u, responses.size());
  std::lock_guard<std::mutex> guard(seen.lock);
  EXPECT_TRUE(seen.cancelled);
}

}  // namespace
