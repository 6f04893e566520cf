// nrctl update|retry|push|cancel|shutdown|watch
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>

#include "Nrctl.h"
#include "framework/Protocol.h"
#include "platform/Facade.h"
#include "platform/QV_Event.h"

namespace nrctl {
namespace {

bool publish(const char* topic, const std::map<std::string, std::string>& props, const std::string& data = "") {
  QV_Event event(topic, 0);
  if (!props.empty()) {
    PtrRef<QV_PropertyMap> map(new QV_PropertyMap(props.begin(), props.end()));
    event.mProperties = map;
  }
  event.mData = data;
  if (QV_EventAndStatusFacade::instance()->publishEvent(event, nullptr) != 0) {
    std::fprintf(stderr, "nrctl: cannot publish on %s\n", topic);
    return false;
  }
  return true;
}

bool parseTimeout(const Args& args, long& millis) {
  std::string text = args.get("--timeout", "300");
  char* end = nullptr;
  double seconds = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || seconds < 0) return false;
  millis = static_cast<long>(seconds * 1000.0);
  return true;
}

const char* shortTopic(const std::string& topic) {
  std::string::size_type slash = topic.rfind('/');
  return slash == std::string::npos ? topic.c_str() : topic.c_str() + slash + 1;
}

// The versions the services serve; a request for any other would go
// unanswered.
bool knownVersion(const std::string& version) {
  return version == "flp20" || version == "flp20_s" || version == "flp1x";
}

// Follows the status events of the version asked for until its response
// with the matching trigger arrives. Events that name another version are
// another service's; an event that names none is taken as it comes.
int waitForResponse(EventQueue& queue, const std::string& version, const std::string& trigger, long timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    long left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    ReceivedEvent e;
    if (left <= 0 || !queue.next(e, left)) {
      std::fprintf(stderr, "nrctl: no response within %.0f seconds (is the service for this version running?)\n",
                   timeoutMs / 1000.0);
      return kExitTimeout;
    }
    const std::string named = e.prop(PROPERTY_PROTOCOL_VERSION);
    if (!named.empty() && named != version) continue;
    if (e.topic == PROTOCOL_TOPIC_REPORTSTATUS) {
      std::printf("status: %s (%s)\n", e.prop("status").c_str(), e.prop("type").c_str());
    } else if (e.topic == PROTOCOL_TOPIC_TTLUPDATE) {
      std::printf("next update in: %d\n", e.value);
    } else if (e.topic == PROTOCOL_TOPIC_RESPONSE && e.prop("trigger") == trigger) {
      static const char* const names[] = {"success", "failed", "cancelled", "wrong version"};
      const char* name = e.value >= 0 && e.value <= 3 ? names[e.value] : "unknown";
      std::printf("response: %d %s (trigger %s, type %s)\n", e.value, name, e.prop("trigger").c_str(),
                  e.prop("type").c_str());
      std::fflush(stdout);
      return e.value >= 0 && e.value <= 3 ? e.value : kExitError;
    }
    std::fflush(stdout);
  }
}

int runRequest(const char* topic, const std::map<std::string, std::string>& props, const std::string& data,
               const std::string& responseTrigger, const Args& args) {
  const std::string version = props.at(PROPERTY_PROTOCOL_VERSION);
  if (!knownVersion(version)) return usageError("unknown VERSION " + version + " (flp20, flp20_s or flp1x)");
  long timeoutMs = 0;
  if (!parseTimeout(args, timeoutMs)) return usageError("--timeout takes a number of seconds");
  if (!connectBus()) return kExitNoBus;
  EventQueue queue;
  const bool wait = args.has("--wait");
  // Subscribe before publishing, so no answer can slip by.
  if (wait && !subscribeAll(queue)) return kExitNoBus;
  int sent = args.has("--event") ? 0 : requestByMethod(topic, props, data);
  if (sent < 0) {
    ES_EventSubscriber::shutdown();
    return kExitError;
  }
  if (sent == 0 && !publish(topic, props, data)) return kExitNoBus;
  int status = wait ? waitForResponse(queue, version, responseTrigger, timeoutMs) : kExitOk;
  ES_EventSubscriber::shutdown();
  return status;
}

int cmdWatch(const Args& args) {
  long timeoutMs = -1;
  if (args.has("--timeout") && !parseTimeout(args, timeoutMs)) return usageError("--timeout takes a number of seconds");
  long count = -1;
  if (args.has("--count")) {
    count = std::atol(args.get("--count").c_str());
    if (count <= 0) return usageError("--count takes a positive number");
  }
  if (!connectBus()) return kExitNoBus;
  EventQueue queue;
  if (!subscribeAll(queue)) return kExitNoBus;
  const bool json = args.has("--json");
  if (!json) std::fprintf(stderr, "nrctl: watching the protocol topics (Ctrl-C ends)\n");
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  long seen = 0;
  while (count < 0 || seen < count) {
    long left = -1;
    if (timeoutMs >= 0) {
      left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) break;
    }
    ReceivedEvent e;
    if (!queue.next(e, left)) break;
    ++seen;
    if (json) {
      std::printf("%s\n", eventToJson(e).c_str());
    } else {
      std::printf("%-13s %s\n", shortTopic(e.topic), eventToLine(e).c_str());
    }
    std::fflush(stdout);
  }
  ES_EventSubscriber::shutdown();
  return count >= 0 && seen < count ? kExitTimeout : kExitOk;
}

}  // namespace

int cmdEvents(const std::string& command, int argc, char** argv) {
  Args args;
  std::string error;
  if (!parseArgs(argc, argv, 2, {"--trigger", "--type", "--timeout", "--content-type", "--file", "--count"},
                 {"--wait", "--json", "--event"}, args, error)) {
    return usageError(command + ": " + error);
  }
  const std::string trigger = args.get("--trigger", "man");

  if (command == "update") {
    if (args.positional.size() != 1) return usageError("update: expected VERSION");
    return runRequest(PROTOCOL_TOPIC_UPDATE, {{"protocolversion", args.positional[0]}, {"trigger", trigger}}, "",
                      trigger, args);
  }
  if (command == "retry") {
    if (args.positional.size() != 1) return usageError("retry: expected VERSION");
    const std::string type = args.get("--type");
    if (type != "content" && type != "data") return usageError("retry: --type must be content or data");
    return runRequest(PROTOCOL_TOPIC_RETRY,
                      {{"protocolversion", args.positional[0]}, {"type", type}, {"trigger", trigger}}, "", trigger,
                      args);
  }
  if (command == "push") {
    std::vector<std::string> rest;
    bool fromStdin = false;
    for (const std::string& p : args.positional) {
      if (p == "-") {
        fromStdin = true;
      } else {
        rest.push_back(p);
      }
    }
    if (rest.size() != 1) return usageError("push: expected VERSION");
    if (!args.has("--content-type") || args.get("--content-type").empty())
      return usageError("push: --content-type is required");
    if (fromStdin == args.has("--file")) return usageError("push: give exactly one of --file F or -");
    std::string body;
    if (fromStdin) {
      body.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
      std::ifstream in(args.get("--file"), std::ios::binary);
      if (!in) {
        std::fprintf(stderr, "nrctl: cannot read %s\n", args.get("--file").c_str());
        return kExitError;
      }
      body.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return runRequest(PROTOCOL_TOPIC_MESSAGE,
                      {{"protocolversion", rest[0]}, {"content-type", args.get("--content-type")}}, body,
                      PUSH_MESSAGE_TEXT, args);
  }
  if (command == "cancel") {
    if (!args.positional.empty()) return usageError("cancel: takes no arguments");
    if (!connectBus()) return kExitNoBus;
    // The cancel topic carries no properties; a marker keeps the event
    // self-describing for watchers.
    int sent = args.has("--event") ? 0 : requestByMethod(PROTOCOL_TOPIC_CANCEL, {}, "");
    int status = sent < 0 ? kExitError : sent > 0 || publish(PROTOCOL_TOPIC_CANCEL, {{"origin", "nrctl"}}) ? kExitOk : kExitNoBus;
    ES_EventSubscriber::shutdown();
    return status;
  }
  if (command == "shutdown") {
    if (args.positional.size() > 1) return usageError("shutdown: expected at most VERSION");
    if (!connectBus()) return kExitNoBus;
    std::map<std::string, std::string> props;
    if (!args.positional.empty()) props["protocolversion"] = args.positional[0];
    int sent = args.has("--event") ? 0 : requestByMethod(PROTOCOL_TOPIC_SHUTDOWN, props, "");
    int status = sent < 0 ? kExitError : sent > 0 || publish(PROTOCOL_TOPIC_SHUTDOWN, props) ? kExitOk : kExitNoBus;
    ES_EventSubscriber::shutdown();
    return status;
  }
  return cmdWatch(args);
}

}  // namespace nrctl
