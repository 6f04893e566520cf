#include "SchedulerBus.h"

#include "platform/EventService.h"
#include "platform/Log.h"

namespace nrsched {

const char* const SCHEDULER_BUS_NAME = "com.kestrova.Quorvel.Scheduler";
const char* const SCHEDULER_OBJECT_PATH = "/com/kestrova/Quorvel/Scheduler";
const char* const SCHEDULER_INTERFACE = "com.kestrova.Quorvel.Scheduler1";

namespace {

using qvbus::PropertyKind;
using qvbus::PropertyValue;

PropertyValue ofKind(PropertyKind kind) {
  PropertyValue v;
  v.kind = kind;
  return v;
}

bool same(const PropertyValue& a, const PropertyValue& b) {
  return a.kind == b.kind && a.text == b.text && a.number == b.number && a.list == b.list && a.map == b.map &&
         a.numbers == b.numbers;
}

const char* const kNames[] = {"Versions", "LastResult", "LastUpdate", "NextUpdate", "RetryState", "Retries", "Running"};

}  // namespace

std::map<std::string, PropertyValue> schedulerProperties(const Config& config, const State& state) {
  std::map<std::string, PropertyValue> p;
  p["Versions"] = ofKind(PropertyKind::STRING_LIST);
  p["Versions"].list = config.versions;
  p["LastResult"] = ofKind(PropertyKind::STRING_INT32_MAP);
  p["LastUpdate"] = ofKind(PropertyKind::STRING_UINT64_MAP);
  p["NextUpdate"] = ofKind(PropertyKind::STRING_UINT64_MAP);
  p["RetryState"] = ofKind(PropertyKind::STRING_MAP);
  p["Retries"] = ofKind(PropertyKind::STRING_INT32_MAP);
  p["Running"] = ofKind(PropertyKind::STRING_MAP);
  for (const VersionState& v : state.versions) {
    p["LastResult"].numbers[v.version] = v.lastResult;
    p["LastUpdate"].numbers[v.version] = v.lastUpdateMs > 0 ? v.lastUpdateMs / 1000 : 0;
    p["NextUpdate"].numbers[v.version] = v.dueMs > 0 ? v.dueMs / 1000 : 0;
    p["RetryState"].map[v.version] = retryStateName(v.retryState);
    p["Retries"].numbers[v.version] = v.retries;
  }
  for (const Pending& r : state.pending) p["Running"].map[r.version] = pendingKindName(r.kind);
  return p;
}

int SchedulerBus::start(const Config& config, const State& state, std::string& error) {
  qvbus::ServiceSpec spec;
  spec.busName = SCHEDULER_BUS_NAME;
  spec.objectPath = SCHEDULER_OBJECT_PATH;
  spec.interface = SCHEDULER_INTERFACE;
  {
    std::lock_guard<std::mutex> guard(mLock);
    mProps = schedulerProperties(config, state);
    for (const char* name : kNames) spec.properties.push_back({name, mProps[name].kind});
  }
  int r = ES_EventSubscriber::exportService(spec, this, error);
  mStarted = r > 0;
  return r;
}

void SchedulerBus::publish(const Config& config, const State& state) {
  if (!mStarted) return;
  std::map<std::string, PropertyValue> fresh = schedulerProperties(config, state);
  std::vector<std::string> changed;
  {
    std::lock_guard<std::mutex> guard(mLock);
    for (const char* name : kNames) {
      if (!same(mProps[name], fresh[name])) changed.push_back(name);
    }
    mProps.swap(fresh);
  }
  if (!changed.empty()) ES_EventSubscriber::propertiesChanged(SCHEDULER_OBJECT_PATH, SCHEDULER_INTERFACE, changed);
}

qvbus::MethodReply SchedulerBus::onMethod(const std::string& method, const std::vector<std::string>& /*args*/) {
  // The interface has no methods; sd-bus answers unknown ones itself.
  return qvbus::MethodReply::error("org.freedesktop.DBus.Error.UnknownMethod", "no method " + method);
}

PropertyValue SchedulerBus::property(const std::string& name) {
  std::lock_guard<std::mutex> guard(mLock);
  auto it = mProps.find(name);
  return it == mProps.end() ? PropertyValue() : it->second;
}

}  // namespace nrsched
