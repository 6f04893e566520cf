#include <algorithm>
#include <cstdio>
#include <sstream>

#include "Nrctl.h"
#include "framework/Protocol.h"
#include "platform/NR_Constants.h"
#include "platform/QV_Event.h"

namespace nrctl {

bool parseArgs(int argc, char** argv, int first, const std::vector<std::string>& withValue,
               const std::vector<std::string>& flags, Args& out, std::string& error) {
  auto contains = [](const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
  };
  for (int i = first; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      std::string name = arg;
      std::string value;
      bool inlineValue = false;
      std::string::size_type eq = arg.find('=');
      if (eq != std::string::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
        inlineValue = true;
      }
      if (contains(withValue, name)) {
        if (!inlineValue) {
          if (i + 1 >= argc) {
            error = "option " + name + " needs a value";
            return false;
          }
          value = argv[++i];
        }
        out.options[name] = value;
      } else if (contains(flags, name) && !inlineValue) {
        out.options[name] = "";
      } else {
        error = "unknown option " + arg;
        return false;
      }
    } else {
      out.positional.push_back(arg);
    }
  }
  return true;
}

void EventQueue::onEvent(const ES_Event& event) {
  ReceivedEvent copy;
  copy.topic = event.getTopic() != nullptr ? event.getTopic() : "";
  for (const auto& p : event.getProperties()) {
    if (p.first == kQvEventValueProperty) {
      copy.value = std::atoi(p.second.c_str());
    } else {
      copy.properties[p.first] = p.second;
    }
  }
  if (event.getPayloadBegin() != nullptr && event.getPayloadEnd() > event.getPayloadBegin()) {
    copy.data.assign(event.getPayloadBegin(), event.getPayloadEnd());
  }
  {
    std::lock_guard<std::mutex> guard(mLock);
    mEvents.push_back(std::move(copy));
  }
  mCond.notify_all();
}

bool EventQueue::next(ReceivedEvent& out, long timeoutMs) {
  std::unique_lock<std::mutex> guard(mLock);
  auto ready = [this] { return !mEvents.empty(); };
  if (timeoutMs < 0) {
    mCond.wait(guard, ready);
  } else if (!mCond.wait_for(guard, std::chrono::milliseconds(timeoutMs), ready)) {
    return false;
  }
  out = std::move(mEvents.front());
  mEvents.pop_front();
  return true;
}

bool connectBus() {
  std::string error;
  if (!ES_EventSubscriber::connect(error)) {
    std::fprintf(stderr, "nrctl: %s\n", error.c_str());
    return false;
  }
  return true;
}

bool subscribeAll(EventQueue& queue) {
  const char* const topics[] = {PROTOCOL_TOPIC_UPDATE,       PROTOCOL_TOPIC_MESSAGE,
                                PROTOCOL_TOPIC_RETRY,        PROTOCOL_TOPIC_CANCEL,
                                PROTOCOL_TOPIC_SHUTDOWN,     PROTOCOL_TOPIC_STARTUP,
                                PROTOCOL_TOPIC_REPORTSTATUS, PROTOCOL_TOPIC_RESPONSE,
                                PROTOCOL_TOPIC_TTLUPDATE,    NR_Constants::EVENT_NOTIFY_NETWORK_AVAILABLE,
                                NR_Constants::EVENT_NOTIFY_NETWORK_ERROR, NR_Constants::EVENT_SETTING_MODE_CHANGE};
  for (const char* topic : topics) {
    if (ES_EventSubscriber::subscribe(topic, false, &queue, "", "", "", false) != 0) {
      std::fprintf(stderr, "nrctl: cannot subscribe to %s\n", topic);
      return false;
    }
  }
  return true;
}

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += "\"";
  return out;
}

std::string eventToJson(const ReceivedEvent& e) {
  std::ostringstream out;
  out << "{\"topic\":" << jsonString(e.topic) << ",\"value\":" << e.value << ",\"properties\":{";
  bool first = true;
  for (const auto& p : e.properties) {
    if (!first) out << ",";
    first = false;
    out << jsonString(p.first) << ":" << jsonString(p.second);
  }
  out << "},\"data\":" << jsonString(e.data) << "}";
  return out.str();
}

std::string eventToLine(const ReceivedEvent& e) {
  std::ostringstream out;
  out << e.topic << " value=" << e.value;
  for (const auto& p : e.properties) out << " " << p.first << "=" << p.second;
  if (!e.data.empty()) out << " data=" << e.data.size() << "B";
  return out.str();
}

}  // namespace nrctl
