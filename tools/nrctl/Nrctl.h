// Shared pieces of the nrctl command-line tool.
//
// Threads: nrctl's own code runs on its main thread; event deliveries arrive
// on the event service's delivery thread and are handed over through
// EventQueue.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/EventService.h"

namespace nrctl {

// Exit statuses besides the response codes 0-3 that --wait passes on.
constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;
constexpr int kExitTimeout = 124;
constexpr int kExitNoBus = 125;

struct Args {
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;  // "--name" -> value ("" for flags)
  bool has(const std::string& name) const { return options.count(name) != 0; }
  std::string get(const std::string& name, const std::string& fallback = "") const {
    auto it = options.find(name);
    return it == options.end() ? fallback : it->second;
  }
};

// Parses argv[first..]: "--flag", "--name value" for names in withValue,
// "--name=value", and "-" as a positional. False with a message on an
// unknown option or a missing value.
bool parseArgs(int argc, char** argv, int first, const std::vector<std::string>& withValue,
               const std::vector<std::string>& flags, Args& out, std::string& error);

int usageError(const std::string& message);
void printUsage(FILE* out);

// A received event, copied off the delivery thread.
struct ReceivedEvent {
  std::string topic;
  std::map<std::string, std::string> properties;  // without the value property
  int value = 0;
  std::string data;
  std::string prop(const std::string& key) const {
    auto it = properties.find(key);
    return it == properties.end() ? std::string() : it->second;
  }
};

class EventQueue : public ES_EventHandler {
 public:
  void onEvent(const ES_Event& event) override;
  // The next event, or false when timeoutMs (negative: no limit) ran out.
  bool next(ReceivedEvent& out, long timeoutMs);

 private:
  std::mutex mLock;
  std::condition_variable mCond;
  std::deque<ReceivedEvent> mEvents;
};

// Connects to the bus; prints the reason and returns false when it fails.
bool connectBus();
// Subscribes queue to every protocol topic (and the platform notify topics).
bool subscribeAll(EventQueue& queue);

std::string jsonString(const std::string& text);
std::string eventToJson(const ReceivedEvent& e);
std::string eventToLine(const ReceivedEvent& e);

// ServiceCall.cpp: a request by a method call to the service that serves
// it, when that service's name is on the bus. 1 sent, 0 not sent (publish
// the event instead), -1 the service refused it (the reason is printed).
int requestByMethod(const std::string& topic, const std::map<std::string, std::string>& props,
                    const std::string& data);
// One line per service on the bus: its State and its last and next update.
void printServiceStates();

int cmdEvents(const std::string& command, int argc, char** argv);
int cmdSettings(int argc, char** argv);
int cmdCache(int argc, char** argv);

}  // namespace nrctl
