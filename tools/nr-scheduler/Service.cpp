#include "Service.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "SchedulerBus.h"
#include "StateFile.h"
#include "framework/Protocol.h"
#include "platform/EventService.h"
#include "platform/Facade.h"
#include "platform/Home.h"
#include "platform/Log.h"
#include "platform/NR_Constants.h"
#include "platform/NR_EngineUtils.h"
#include "platform/QV_Event.h"
#include "platform/ServiceManager.h"
#include "platform/Settings.h"
#include "platform/Thread.h"
#include "platform/Types.h"

namespace nrsched {

namespace {

constexpr int kDcdCategory = 1;
constexpr int kServiceCategory = 6;
// How long the scheduler stays on the bus after its last post, so that the
// services can still check who sent it.
constexpr long kSendGraceMillis = 1000;
// The longest single wait: a wall clock that jumps is noticed this soon.
constexpr int64_t kMaxWaitMillis = 30000;
// The versions the installed services answer. Requests for any other
// version are answered by no one and so are not waited for.
const char* const kKnownVersions[] = {"flp20", "flp20_s", "flp1x"};

int64_t wallMillis() {
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int intSetting(QuorvelSettingMgr* settings, int category, const char* key, int fallback) {
  int value = fallback;
  if (settings == nullptr || settings->getInt(category, key, value) != 0) value = fallback;
  return value;
}

std::string textSetting(QuorvelSettingMgr* settings, int category, const char* key, const std::string& fallback) {
  qvTypes::String value;
  if (settings == nullptr || settings->getString(category, key, value) != 0) return fallback;
  std::ostringstream out;
  UTF_8Util::LineWriter writer(out);
  writer.write(value);
  writer.flush();
  return out.str();
}

std::vector<std::string> splitList(const std::string& text) {
  std::vector<std::string> out;
  for (std::string piece : MString::splitAll(text, ',')) {
    const char* blanks = " \t";
    std::string::size_type b = piece.find_first_not_of(blanks);
    if (b == std::string::npos) continue;
    out.push_back(piece.substr(b, piece.find_last_not_of(blanks) - b + 1));
  }
  return out;
}

bool knownVersion(const std::string& version) {
  for (const char* v : kKnownVersions) {
    if (version == v) return true;
  }
  return false;
}

// The services whose CurrentRequest shows the requests sent to them by
// method call, which pass on the bus as no event.
const char* const kServicePaths[] = {"/com/kestrova/Quorvel/Flp2", "/com/kestrova/Quorvel/Flp1x"};
const char* const kServiceInterface = "com.kestrova.Quorvel.Service1";

// A received event, or a service's new CurrentRequest (path set, topic
// empty), copied off the delivery thread.
struct Incoming {
  std::string path;
  std::map<std::string, std::string> currentRequest;  // empty: the service is idle
  std::string topic;
  std::map<std::string, std::string> properties;
  int value = 0;
  std::string prop(const std::string& key) const {
    auto it = properties.find(key);
    return it == properties.end() ? std::string() : it->second;
  }
};

// The scheduler's side of the bus: receives on the delivery thread, posts
// on the main thread.
class Bridge : public ES_EventHandler, public ES_PropertiesHandler, public Poster {
 public:
  void onPropertiesChanged(const std::string& path, const std::string& /*interface*/,
                           const std::map<std::string, qvbus::PropertyValue>& values) override {
    auto current = values.find("CurrentRequest");
    if (current == values.end()) return;
    Incoming copy;
    copy.path = path;
    copy.currentRequest = current->second.map;
    {
      std::lock_guard<std::mutex> guard(mLock);
      mQueue.push_back(std::move(copy));
    }
    mCond.notify_all();
  }

  void onEvent(const ES_Event& event) override {
    Incoming copy;
    copy.topic = event.getTopic() != nullptr ? event.getTopic() : "";
    for (const auto& p : event.getProperties()) {
      if (p.first == kQvEventValueProperty) {
        copy.value = static_cast<int>(std::strtol(p.second.c_str(), nullptr, 10));
      } else {
        copy.properties[p.first] = p.second;
      }
    }
    {
      std::lock_guard<std::mutex> guard(mLock);
      mQueue.push_back(std::move(copy));
    }
    mCond.notify_all();
  }

  bool postUpdate(const std::string& version, const std::string& trigger) override {
    return publish(PROTOCOL_TOPIC_UPDATE, {{PROPERTY_PROTOCOL_VERSION, version}, {PROPERTY_TRIGGER, trigger}});
  }
  bool postRetry(const std::string& version, const std::string& type, const std::string& trigger) override {
    return publish(PROTOCOL_TOPIC_RETRY,
                   {{PROPERTY_PROTOCOL_VERSION, version}, {PROPERTY_TYPE, type}, {PROPERTY_TRIGGER, trigger}});
  }

  // Any thread (the stop signal arrives on the delivery thread).
  void stop() {
    {
      std::lock_guard<std::mutex> guard(mLock);
      mStop = true;
    }
    mCond.notify_all();
  }

  // Waits up to millis for events; false once a stop was asked for.
  bool wait(int64_t millis, std::vector<Incoming>& out) {
    std::unique_lock<std::mutex> guard(mLock);
    mCond.wait_for(guard, std::chrono::milliseconds(millis), [this] { return mStop || !mQueue.empty(); });
    if (mStop) return false;
    while (!mQueue.empty()) {
      out.push_back(std::move(mQueue.front()));
      mQueue.pop_front();
    }
    return true;
  }

 private:
  static bool publish(const char* topic, const std::map<std::string, std::string>& props) {
    QV_Event event(topic, 0);
    event.mProperties = PtrRef<QV_PropertyMap>(new QV_PropertyMap(props.begin(), props.end()));
    return QV_EventAndStatusFacade::instance()->publishEvent(event, nullptr) == 0;
  }

  std::mutex mLock;
  std::condition_variable mCond;
  std::deque<Incoming> mQueue;
  bool mStop = false;
};

std::atomic<bool> gStoppingSent{false};

void tellStopping() {
  if (!gStoppingSent.exchange(true)) qvservice::notifyStopping();
}

void onStopSignal(void* context) {
  tellStopping();
  static_cast<Bridge*>(context)->stop();
}

std::string canonicalTrigger(const std::string& text) {
  // The services answer with the trigger they understood: an unknown text
  // comes back as "ttl".
  return ProtocolRequest::triggerToString(ProtocolRequest::triggerFromString(text));
}

// What each service was running at its last CurrentRequest, by object
// path. A request has started when one appears where none was, or where
// another was (the idle one in between went unseen); a change of its type
// alone is the same request moving on to its assets.
using RunningByService = std::map<std::string, std::map<std::string, std::string>>;

void applyCurrentRequest(Scheduler& core, RunningByService& running, const Incoming& e, int64_t now) {
  std::map<std::string, std::string>& before = running[e.path];
  auto field = [](const std::map<std::string, std::string>& m, const char* key) {
    auto it = m.find(key);
    return it == m.end() ? std::string() : it->second;
  };
  const std::string version = field(e.currentRequest, "version");
  const std::string trigger = field(e.currentRequest, "trigger");
  const bool started = !version.empty() && !trigger.empty() &&
                       (before.empty() || field(before, "version") != version || field(before, "trigger") != trigger);
  before = e.currentRequest;
  if (!started) return;
  if (!knownVersion(version)) {
    QV_LOG(7, "A request for %s, which no service answers; not waited for", version.c_str());
    return;
  }
  if (trigger == PUSH_MESSAGE_TEXT) {
    core.onRunning(true, version, PUSH_MESSAGE_TEXT, now);
  } else {
    core.onRunning(false, version, canonicalTrigger(trigger), now);
  }
}

void apply(Scheduler& core, const Incoming& e, int64_t now) {
  const std::string version = e.prop(PROPERTY_PROTOCOL_VERSION);
  if (e.topic == PROTOCOL_TOPIC_RESPONSE) {
    core.onResponse(e.value, e.prop(PROPERTY_TRIGGER), e.prop(PROPERTY_TYPE), now, version);
  } else if (e.topic == PROTOCOL_TOPIC_TTLUPDATE) {
    core.onTtlUpdate(e.value, now);
  } else if (e.topic == PROTOCOL_TOPIC_UPDATE || e.topic == PROTOCOL_TOPIC_RETRY ||
             e.topic == PROTOCOL_TOPIC_MESSAGE) {
    // Only what a service will take up is waited for: the services drop a
    // request that lacks one of its properties.
    const bool isMessage = e.topic == PROTOCOL_TOPIC_MESSAGE;
    const bool isRetry = e.topic == PROTOCOL_TOPIC_RETRY;
    if (version.empty() || (isMessage && e.prop(PROPERTY_CONTENT_TYPE).empty()) ||
        (!isMessage && e.prop(PROPERTY_TRIGGER).empty()) || (isRetry && e.prop(PROPERTY_TYPE).empty())) {
      return;
    }
    if (!knownVersion(version)) {
      QV_LOG(7, "A request for %s, which no service answers; not waited for", version.c_str());
      return;
    }
    if (isMessage) {
      core.onRequest(Pending::MESSAGE, version, PUSH_MESSAGE_TEXT, now);
    } else {
      core.onRequest(isRetry ? Pending::RETRY : Pending::UPDATE, version, canonicalTrigger(e.prop(PROPERTY_TRIGGER)),
                     now);
    }
  }
}

}  // namespace

Config loadConfig(QuorvelSettingMgr* settings) {
  static int warnedAlgo = 0;
  Config c;
  const double scale = Thread::sleepScale();
  c.timeScale = scale;
  auto millis = [scale](double seconds) {
    return std::max<int64_t>(static_cast<int64_t>(std::llround(seconds * 1000.0 * scale)), 1);
  };
  c.versions = splitList(textSetting(settings, kServiceCategory, "Scheduler.ProtocolVersions", "flp20,flp20_s,flp1x"));
  c.startupDelayMs = millis(std::max(intSetting(settings, kServiceCategory, "Scheduler.StartupDelay", 30), 0));
  int timeout = intSetting(settings, kServiceCategory, "Scheduler.UpdateTimeout", 1800);
  c.updateTimeoutMs = millis(timeout > 0 ? timeout : 1800);
  int minInterval = intSetting(settings, kServiceCategory, "Scheduler.MinInterval", 60);
  c.minIntervalMs = millis(minInterval > 0 ? minInterval : 1);
  c.maxRetries = intSetting(settings, kDcdCategory, "MaxRetries", 3);
  if (c.maxRetries < 0) c.maxRetries = 3;
  c.retryWaitAlgo = intSetting(settings, kDcdCategory, "RetryWaitAlgo", 0);
  if (c.retryWaitAlgo < 0 || c.retryWaitAlgo > 2) {
    if (warnedAlgo != c.retryWaitAlgo) {
      QV_LOG(3, "RetryWaitAlgo %d is not 0, 1 or 2; retries wait a constant time", c.retryWaitAlgo);
      warnedAlgo = c.retryWaitAlgo;
    }
    c.retryWaitAlgo = 0;
  }
  int inc = intSetting(settings, kDcdCategory, "RetryIncInterval", 5);
  c.retryIncMs = millis(60.0 * (inc > 0 ? inc : 5));
  int maxWait = intSetting(settings, kDcdCategory, "MaxRetryWaitTime", 60);
  if (maxWait < 0) maxWait = 60;
  c.maxRetryWaitMs = maxWait == 0 ? 0 : millis(60.0 * maxWait);
  c.spacingMs = millis(10);
  c.networkPollMs = millis(30);
  return c;
}

int runService() {
  std::string error;
  if (!qvhome::ensure(error)) {
    std::fprintf(stderr, "nr-scheduler: QUORVEL_HOME %s is not usable: %s\n", qvhome::path().c_str(), error.c_str());
    return 1;
  }
  QuorvelSettingMgr* settings = QuorvelSettingMgr::getSettingMgrInstance();
  if (settings == nullptr) {
    std::fprintf(stderr, "nr-scheduler: cannot open the settings store under %s\n", qvhome::path().c_str());
    return 1;
  }
  const std::string path = statePath();
  State state;
  if (!loadState(path, state, error)) QV_LOG(3, "%s; going on with what could be read", error.c_str());

  Bridge bridge;
  std::mt19937_64 random{std::random_device{}()};
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  Scheduler core(loadConfig(settings), state, bridge, [&] { return uniform(random); });

  ES_EventSubscriber::blockStopSignals();
  if (!ES_EventSubscriber::connect(error)) {
    std::fprintf(stderr, "nr-scheduler: %s\n", error.c_str());
    return 1;
  }
  ES_EventSubscriber::setStopHandler(&onStopSignal, &bridge);
  ES_EventSubscriber::setSendGrace(kSendGraceMillis);
  SchedulerBus service;
  int owned = service.start(core.config(), core.state(), error);
  if (owned <= 0) {
    if (owned == 0) {
      std::fprintf(stderr, "nr-scheduler: another instance owns the bus name %s\n", SCHEDULER_BUS_NAME);
    } else {
      std::fprintf(stderr, "nr-scheduler: %s\n", error.c_str());
    }
    ES_EventSubscriber::shutdown();
    return 1;
  }
  const char* const topics[] = {PROTOCOL_TOPIC_UPDATE,   PROTOCOL_TOPIC_RETRY,     PROTOCOL_TOPIC_MESSAGE,
                                PROTOCOL_TOPIC_RESPONSE, PROTOCOL_TOPIC_TTLUPDATE, NR_Constants::EVENT_NOTIFY_NETWORK_AVAILABLE};
  for (const char* topic : topics) {
    if (ES_EventSubscriber::subscribe(topic, false, &bridge, "", "", "", false) != 0) {
      std::fprintf(stderr, "nr-scheduler: cannot subscribe to %s\n", topic);
      ES_EventSubscriber::shutdown();
      return 1;
    }
  }

  // Requests sent to a service by method call pass on the bus as no event;
  // its CurrentRequest shows them.
  for (const char* servicePath : kServicePaths) {
    if (ES_EventSubscriber::watchProperties(servicePath, kServiceInterface,
                                            {{"CurrentRequest", qvbus::PropertyKind::STRING_MAP}}, &bridge) != 0) {
      std::fprintf(stderr, "nr-scheduler: cannot watch the properties of %s\n", servicePath);
      ES_EventSubscriber::shutdown();
      return 1;
    }
  }

  core.start(wallMillis());
  std::string versions;
  for (const std::string& v : core.config().versions) versions += (versions.empty() ? "" : ", ") + v;
  qvservice::notifyReady("scheduling " + (versions.empty() ? std::string("no version") : versions));
  QV_LOG(3, "nr-scheduler started; scheduling %s; state in %s", versions.c_str(), path.c_str());

  std::vector<Incoming> events;
  RunningByService running;
  int64_t next = wallMillis();
  for (;;) {
    int64_t now = wallMillis();
    int64_t wait = next < 0 ? kMaxWaitMillis : std::min(std::max<int64_t>(next - now, 0), kMaxWaitMillis);
    events.clear();
    if (!bridge.wait(wait, events)) break;
    now = wallMillis();
    core.setConfig(loadConfig(settings));
    for (const Incoming& e : events) {
      if (!e.path.empty()) {
        applyCurrentRequest(core, running, e, now);
      } else {
        apply(core, e, now);
      }
    }
    next = core.tick(now, [] { return NR_EngineUtils::isNetworkAccessAllowed(); });
    if (core.takeDirty() && !saveState(path, core.state(), error)) {
      QV_LOG(3, "Cannot save the scheduler state: %s", error.c_str());
    }
    service.publish(core.config(), core.state());
  }

  tellStopping();
  QV_LOG(3, "nr-scheduler stopping");
  if (!saveState(path, core.state(), error)) QV_LOG(3, "Cannot save the scheduler state: %s", error.c_str());
  ES_EventSubscriber::shutdown();
  return 0;
}

}  // namespace nrsched
