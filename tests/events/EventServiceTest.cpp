// Events over a private bus: what a subscriber receives, routing by topic,
// publishing from several threads, failures, a lost bus, stop signals.
#include <gtest/gtest.h>
#include <signal.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PrivateBus.h"
#include "RecordingFacade.h"
#include "platform/EventService.h"
#include "platform/Facade.h"
#include "platform/NR_Constants.h"
#include "platform/QV_Event.h"

namespace {

using Props = std::map<std::string, std::string>;

// Records what the delivery thread hands over.
class Inbox : public ES_EventHandler {
 public:
  void onEvent(const ES_Event& event) override {
    ES_EventRecord copy{event.getTopic(), event.getProperties(),
                        std::string(event.getPayloadBegin(), event.getPayloadEnd())};
    // Notified under the lock, so a test that saw the event may destroy the
    // inbox at once: the delivery thread is done with it by then.
    std::lock_guard<std::mutex> guard(mLock);
    mEvents.push_back(std::move(copy));
    mCond.notify_all();
  }

  // Waits until at least count events arrived; returns all of them.
  std::vector<ES_EventRecord> waitForCount(size_t count) {
    std::unique_lock<std::mutex> guard(mLock);
    mCond.wait_for(guard, std::chrono::seconds(20), [&] { return mEvents.size() >= count; });
    return mEvents;
  }

 private:
  std::mutex mLock;
  std::condition_variable mCond;
  std::vector<ES_EventRecord> mEvents;
};

QV_Event makeEvent(const std::string& topic, int32_t value, const Props* props, const std::string& data) {
  QV_Event e(topic, value);
  if (props != nullptr) e.mProperties = PtrRef<QV_PropertyMap>(new QV_PropertyMap(*props));
  e.mData = data;
  return e;
}

int publish(const std::string& topic, int32_t value, const Props* props = nullptr, const std::string& data = "") {
  return QV_EventAndStatusFacade::instance()->publishEvent(makeEvent(topic, value, props, data), nullptr);
}

class EventBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mBus = std::make_unique<qvtest::PrivateBus>();
    ASSERT_TRUE(mBus->ok()) << mBus->error();
  }
  void TearDown() override { mBus.reset(); }  // shuts the event service down first

  std::unique_ptr<qvtest::PrivateBus> mBus;
};

TEST_F(EventBusTest, SubscriberReceivesPropertiesValueAndEveryPayloadByte) {
  struct Case {
    bool withProps;
    Props props;
    int32_t value;
    std::string payload;
    Props expected;
  };
  const std::string nulPayload("abc\0def", 7);
  const std::vector<Case> cases = {
      // A stale value property in the map must not win over mValue.
      {true, {{"trigger", "man"}, {"type", "content"}, {kQvEventValueProperty, "9"}}, 42, nulPayload,
       {{"trigger", "man"}, {"type", "content"}, {kQvEventValueProperty, "42"}}},
      {false, {}, -7, "", {{kQvEventValueProperty, "-7"}}},
      {true, {{"status", "Gr\xC3\xBC\xC3\x9F" "e"}}, INT32_MAX, std::string("\0", 1),
       {{"status", "Gr\xC3\xBC\xC3\x9F" "e"}, {kQvEventValueProperty, "2147483647"}}},
  };
  const std::string topic = "/kestrova/quorvel/test/roundtrip";
  Inbox inbox;
  ASSERT_EQ(0, ES_EventSubscriber::subscribe(topic.c_str(), false, &inbox, "", "", "", false));
  for (const Case& c : cases) ASSERT_EQ(0, publish(topic, c.value, c.withProps ? &c.props : nullptr, c.payload));

  std::vector<ES_EventRecord> got = inbox.waitForCount(cases.size());
  ASSERT_EQ(cases.size(), got.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(topic, got[i].topic);
    EXPECT_EQ(cases[i].expected, got[i].properties);
    EXPECT_EQ(cases[i].payload, got[i].payload);  // all bytes, NUL included
  }
}

TEST_F(EventBusTest, EventsReachOnlyTheHandlersOfTheirExactTopic) {
  Inbox a, a2, b;
  ASSERT_EQ(0, ES_EventSubscriber::subscribe("/t/a", false, &a, "", "", "", false));
  ASSERT_EQ(0, ES_EventSubscriber::subscribe("/t/a", false, &a, "", "", "", false));  // twice: still once
  ASSERT_EQ(0, ES_EventSubscriber::subscribe("/t/a", false, &a2, "", "", "", false));
  ASSERT_EQ(0, ES_EventSubscriber::subscribe("/t/b", false, &b, "", "", "", false));

  // One sender's events are delivered in order on the one delivery thread,
  // so once the last "/t/b" is in, everything before it has been handled.
  for (const char* topic : {"/t/a/child", "/t", "/t/c", "/t/a", "/t/b"}) ASSERT_EQ(0, publish(topic, 1));

  std::vector<ES_EventRecord> gotB = b.waitForCount(1);
  ASSERT_EQ(1u, gotB.size());
  EXPECT_EQ("/t/b", gotB[0].topic);
  for (Inbox* inbox : {&a, &a2}) {
    std::vector<ES_EventRecord> got = inbox->waitForCount(0);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ("/t/a", got[0].topic);
  }
}

// Answers every ping with a pong, from inside onEvent.
class Echo : public ES_EventHandler {
 public:
  void onEvent(const ES_Event& event) override {
    long v = 0;
    MString::toInt(event.getProperties().at(kQvEventValueProperty), v);
    publish("/t/pong", static_cast<int32_t>(v + 1));
  }
};

TEST_F(EventBusTest, HandlerCanPublishFromTheDeliveryThread) {
  qvtest::EventRecorder recorder("/t");
  ASSERT_TRUE(recorder.ok()) << recorder.error();
  Echo echo;
  ASSERT_EQ(0, ES_EventSubscriber::subscribe("/t/ping", false, &echo, "", "", "", false));
  ASSERT_EQ(0, publish("/t/ping", 5));
  ASSERT_EQ(0, publish("/t/ping", 7));
  auto first = recorder.waitFor("/t/pong");
  auto second = recorder.waitFor("/t/pong");
  ASSERT_TRUE(first && second);
  EXPECT_EQ("6", first->properties.at(kQvEventValueProperty));
  EXPECT_EQ("8", second->properties.at(kQvEventValueProperty));
}

TEST_F(EventBusTest, ThreadSafetyPublishFromTwoThreadsWhileDelivering) {
  const std::string topic = "/t/threads";
  constexpr int kPerThread = 200;
  Inbox inbox;
  ASSERT_EQ(0, ES_EventSubscriber::subscribe(topic.c_str(), false, &inbox, "", "", "", false));

  std::atomic<int> failures{0};
  auto sender = [&](const std::string& name) {
    const Props props = {{"sender", name}};
    for (int i = 0; i < kPerThread; ++i) {
      if (publish(topic, i, &props) != 0) ++failures;
    }
  };
  std::thread t1(sender, "one");
  std::thread t2(sender, "two");
  t1.join();
  t2.join();
  ASSERT_EQ(0, failures.load());

  std::vector<ES_EventRecord> got = inbox.waitForCount(2 * kPerThread);
  ASSERT_EQ(static_cast<size_t>(2 * kPerThread), got.size());
  // Every event exactly once, and each sender's events in its own order.
  std::map<std::string, int> nextValue = {{"one", 0}, {"two", 0}};
  for (const ES_EventRecord& e : got) {
    int& expected = nextValue[e.properties.at("sender")];
    EXPECT_EQ(std::to_string(expected), e.properties.at(kQvEventValueProperty));
    ++expected;
  }
  EXPECT_EQ(kPerThread, nextValue["one"]);
  EXPECT_EQ(kPerThread, nextValue["two"]);
}

TEST_F(EventBusTest, InvalidTopicsAreRefusedWithOneLogLineEach) {
  LogCapture log;  // before the delivery thread starts: it logs through it
  Inbox inbox;
  const char* const topics[] = {"", "no/leading/slash", "/trailing/", "/double//slash", "/bad-char"};
  for (const char* topic : topics) {
    SCOPED_TRACE(topic);
    EXPECT_NE(0, publish(topic, 1));
    EXPECT_NE(0, ES_EventSubscriber::subscribe(topic, false, &inbox, "", "", "", false));
  }
  EXPECT_EQ(std::size(topics), log.count("Unable to publish the event "));
  EXPECT_EQ(std::size(topics), log.count("Cannot subscribe to "));
  // The service stays usable.
  ASSERT_EQ(0, ES_EventSubscriber::subscribe("/t/ok", false, &inbox, "", "", "", false));
  ASSERT_EQ(0, publish("/t/ok", 3));
  EXPECT_EQ(1u, inbox.waitForCount(1).size());
  ES_EventSubscriber::shutdown();  // before the log capture ends
}

TEST_F(EventBusTest, MonitorSeesTheSubtreeOnlyAndThePlatformTopics) {
  qvtest::EventRecorder recorder("/kestrova/quorvel/newsreader");
  ASSERT_TRUE(recorder.ok()) << recorder.error();
  const std::vector<std::string> topics = {NR_Constants::EVENT_NOTIFY_NETWORK_AVAILABLE,
                                           NR_Constants::EVENT_NOTIFY_NETWORK_ERROR,
                                           NR_Constants::EVENT_SETTING_MODE_CHANGE};
  ASSERT_EQ(0, publish("/kestrova/quorvel/newsreaderx/other", 1));
  ASSERT_EQ(0, publish("/kestrova/quorvel", 1));
  for (const std::string& topic : topics) ASSERT_EQ(0, publish(topic, 0)) << topic;
  for (const std::string& topic : topics) EXPECT_TRUE(recorder.waitFor(topic, 10000)) << topic;
  EXPECT_EQ(topics.size(), recorder.events().size());
}

TEST(EventBusFailure, UnreachableBusGivesFalseAndAClearMessage) {
  const char* previous = std::getenv("QUORVEL_BUS_ADDRESS");
  const std::string saved = previous != nullptr ? previous : "";
  const std::string address = "unix:path=/nonexistent-qv-dir/bus";
  setenv("QUORVEL_BUS_ADDRESS", address.c_str(), 1);
  {
    LogCapture log;
    std::string error;
    EXPECT_FALSE(ES_EventSubscriber::connect(error));
    EXPECT_EQ("cannot connect to the bus at " + address + ": No such file or directory", error);

    Inbox inbox;
    EXPECT_NE(0, ES_EventSubscriber::subscribe("/t/a", false, &inbox, "", "", "", false));
    EXPECT_NE(0, publish("/t/a", 1));
    EXPECT_EQ(1u, log.count("Unable to publish the event /t/a: cannot connect to the bus at " + address));

    ES_EventMonitor monitor;
    EXPECT_FALSE(monitor.open("/t", error));
    ES_EventSubscriber::shutdown();
  }
  if (previous != nullptr) {
    setenv("QUORVEL_BUS_ADDRESS", saved.c_str(), 1);
  } else {
    unsetenv("QUORVEL_BUS_ADDRESS");
  }
}

TEST_F(EventBusTest, LostBusEndsDeliveryOnceAndAFreshBusWorks) {
  LogCapture log;  // before the delivery thread starts: it logs through it
  Inbox first;
  ASSERT_EQ(0, ES_EventSubscriber::subscribe("/t/x", false, &first, "", "", "", false));
  mBus->stopDaemon();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!log.contains("Event delivery stopped:") && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(log.contains("Event delivery stopped:"));
  EXPECT_NE(0, publish("/t/x", 1));

  {
    qvtest::PrivateBus fresh;  // points QUORVEL_BUS_ADDRESS at itself
    ASSERT_TRUE(fresh.ok()) << fresh.error();
    Inbox second;
    ASSERT_EQ(0, ES_EventSubscriber::subscribe("/t/x", false, &second, "", "", "", false));
    ASSERT_EQ(0, publish("/t/x", 2));
    std::vector<ES_EventRecord> got = second.waitForCount(1);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ("2", got[0].properties.at(kQvEventValueProperty));
    // The first handler's subscription went with the lost connection.
    EXPECT_EQ(0u, first.waitForCount(0).size());
  }  // shuts the event service down
  EXPECT_EQ(1u, log.count("Event delivery stopped:"));
}

TEST(EventStopSignals, HandlerRunsOncePerSignalWithoutABus) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  sigset_t before;
  pthread_sigmask(SIG_BLOCK, nullptr, &before);
  ES_EventSubscriber::blockStopSignals();

  struct Counter {
    std::mutex lock;
    std::condition_variable cond;
    int calls = 0;
  } counter;
  auto onStop = [](void* context) {
    auto* c = static_cast<Counter*>(context);
    std::lock_guard<std::mutex> guard(c->lock);
    ++c->calls;
    c->cond.notify_all();
  };
  auto waitForCalls = [&](int n) {
    std::unique_lock<std::mutex> guard(counter.lock);
    counter.cond.wait_for(guard, std::chrono::seconds(20), [&] { return counter.calls >= n; });
    return counter.calls;
  };
  ES_EventSubscriber::setStopHandler(onStop, &counter);
  ASSERT_EQ(0, ::kill(::getpid(), SIGTERM));
  EXPECT_EQ(1, waitForCalls(1));
  ASSERT_EQ(0, ::kill(::getpid(), SIGINT));
  EXPECT_EQ(2, waitForCalls(2));
  ES_EventSubscriber::shutdown();

  // Leave nothing pending behind before the mask is restored.
  const struct timespec zero = {0, 0};
  while (sigtimedwait(&stop, nullptr, &zero) > 0) {
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace
