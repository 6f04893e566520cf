// nrctl's use of the services' bus interface (com.kestrova.Quorvel.Service1):
// a request goes to a service by a method call when the service's name is
// on the bus, and as an event otherwise (an older service, or one that is
// not running and not activatable). The answer of a request always comes
// as events, so --wait follows the events either way.
#include <time.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Nrctl.h"
#include "framework/Protocol.h"
#include "platform/BusService.h"

namespace nrctl {
namespace {

struct Service {
  const char* program;
  const char* busName;
  const char* path;
  std::vector<std::string> versions;
};

const std::vector<Service>& services() {
  static const std::vector<Service> list{
      {"flp2svc", "com.kestrova.Quorvel.Flp2", "/com/kestrova/Quorvel/Flp2", {"flp20", "flp20_s"}},
      {"flp1xsvc", "com.kestrova.Quorvel.Flp1x", "/com/kestrova/Quorvel/Flp1x", {"flp1x"}}};
  return list;
}

const char* const kInterface = "com.kestrova.Quorvel.Service1";

bool serves(const Service& s, const std::string& version) {
  for (const std::string& v : s.versions) {
    if (v == version) return true;
  }
  return false;
}

// The services whose names are on the bus now.
std::vector<const Service*> present(qvbus::BusClient& client) {
  std::vector<const Service*> out;
  for (const Service& s : services()) {
    std::string error;
    if (client.hasOwner(s.busName, error) == 1) out.push_back(&s);
  }
  return out;
}

// 1 after a plain reply, -1 after an error reply (printed).
int call(qvbus::BusClient& client, const Service& s, const std::string& method,
         const std::vector<qvbus::BusClient::Arg>& args) {
  std::string name;
  std::string message;
  if (client.call(s.busName, s.path, kInterface, method, args, name, message)) return 1;
  std::fprintf(stderr, "nrctl: %s %s: %s%s%s\n", s.program, method.c_str(), message.c_str(),
               name.empty() ? "" : " (", name.empty() ? "" : (name + ")").c_str());
  return -1;
}

std::string prop(const std::map<std::string, std::string>& props, const char* key) {
  auto it = props.find(key);
  return it == props.end() ? std::string() : it->second;
}

std::string unixTimeText(int64_t seconds) {
  if (seconds <= 0) return "-";
  time_t t = static_cast<time_t>(seconds);
  struct tm local {};
  if (localtime_r(&t, &local) == nullptr) return "-";
  char buf[64];
  if (std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S%z", &local) == 0) return "-";
  return buf;
}

}  // namespace

int requestByMethod(const std::string& topic, const std::map<std::string, std::string>& props,
                    const std::string& data) {
  qvbus::BusClient client;
  std::string error;
  if (!client.open(error)) return 0;
  const std::string version = prop(props, PROPERTY_PROTOCOL_VERSION);
  if (topic == PROTOCOL_TOPIC_CANCEL || topic == PROTOCOL_TOPIC_SHUTDOWN) {
    // Like the event, these reach every service: each one on the bus is
    // called; with none on the bus the event goes out.
    std::vector<const Service*> targets = present(client);
    if (targets.empty()) return 0;
    int status = 1;
    for (const Service* s : targets) {
      if (topic == PROTOCOL_TOPIC_CANCEL) {
        if (call(client, *s, "Cancel", {}) < 0) status = -1;
      } else if (!serves(*s, version) && call(client, *s, "Shutdown", {{'s', version}}) < 0) {
        status = -1;
      }
    }
    return status;
  }
  const Service* target = nullptr;
  for (const Service& s : services()) {
    if (serves(s, version)) target = &s;
  }
  // A version no known service serves goes out as an event, as it always
  // did: someone else may answer it.
  if (target == nullptr || client.hasOwner(target->busName, error) != 1) return 0;
  if (topic == PROTOCOL_TOPIC_UPDATE) {
    return call(client, *target, "Update", {{'s', version}, {'s', prop(props, PROPERTY_TRIGGER)}});
  }
  if (topic == PROTOCOL_TOPIC_RETRY) {
    return call(client, *target, "Retry",
                {{'s', version}, {'s', prop(props, PROPERTY_TYPE)}, {'s', prop(props, PROPERTY_TRIGGER)}});
  }
  if (topic == PROTOCOL_TOPIC_MESSAGE) {
    return call(client, *target, "Push", {{'s', version}, {'s', prop(props, PROPERTY_CONTENT_TYPE)}, {'y', data}});
  }
  return 0;
}

void printServiceStates() {
  qvbus::BusClient client;
  std::string error;
  if (!client.open(error)) return;
  for (const Service* s : present(client)) {
    qvbus::PropertyValue state, current, result, last, next;
    if (!client.getProperty(s->busName, s->path, kInterface, "State", qvbus::PropertyKind::STRING, state, error)) {
      std::printf("service %s: %s\n", s->program, error.c_str());
      continue;
    }
    client.getProperty(s->busName, s->path, kInterface, "CurrentRequest", qvbus::PropertyKind::STRING_MAP, current,
                       error);
    client.getProperty(s->busName, s->path, kInterface, "LastResult", qvbus::PropertyKind::INT32, result, error);
    client.getProperty(s->busName, s->path, kInterface, "LastUpdate", qvbus::PropertyKind::UINT64, last, error);
    client.getProperty(s->busName, s->path, kInterface, "NextUpdate", qvbus::PropertyKind::UINT64, next, error);
    std::string running;
    if (!current.map.empty()) {
      running = " (" + prop(current.map, "version") + ", trigger " + prop(current.map, "trigger") + ", type " +
                prop(current.map, "type") + ")";
    }
    std::printf("service %s: %s%s; last result %s at %s; next update %s\n", s->program, state.text.c_str(),
                running.c_str(), result.number < 0 ? "-" : std::to_string(result.number).c_str(),
                unixTimeText(last.number).c_str(), unixTimeText(next.number).c_str());
  }
}

}  // namespace nrctl
