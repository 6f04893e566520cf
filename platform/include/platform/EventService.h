// The publish/subscribe event service, carried over D-Bus.
//
// Wire mapping: one signal per event; object path = the topic text,
// interface "com.kestrova.Quorvel", member "Event", signature a{ss}ay
// (properties, payload). The event value travels as the property
// "__QV_Event__mValue". The bus is the one named by QUORVEL_BUS_ADDRESS when
// set, else the session bus when DBUS_SESSION_BUS_ADDRESS is set, else the
// system bus.
//
// Threads: subscribe() and connect() are called from the main thread during
// start-up (they are safe from any thread, the delivery thread included).
// The first successful subscription (or setStopHandler) starts the one
// delivery thread of the process, which calls ES_EventHandler::onEvent for
// every matching signal, one at a time, in arrival order, and the stop
// handler for every stop signal. Publishing (through the facade) uses a
// connection of its own, locked, so it is safe from every thread. When the
// bus drops the connection, one line is logged and event delivery ends (the
// thread stays only to watch stop signals); a later connect() or subscribe()
// opens fresh connections, and the earlier subscriptions are gone with the
// old one.
//
// Senders: anyone connected to a bus may send signals, so every event is
// checked before it is delivered to a handler. The delivery thread asks the
// bus for the sender's credentials (once per sender) and delivers the event
// only when the sender's user is root, this process's effective user, or a
// member of the trusted group: the group named by QUORVEL_TRUSTED_GROUP,
// default "quorvel" (by the groups the bus reports for the sender's
// connection, else by the user database). Any other event is dropped with
// one log line, as is an event whose sender has already left the bus (it
// can no longer be checked). The event monitor below does no such check.
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/BusService.h"

namespace qvbus {
class Connection;
}

constexpr const char* kQvBusInterface = "com.kestrova.Quorvel";
constexpr const char* kQvBusMember = "Event";

// An event as the event service hands it to a handler. It belongs to the
// event service and is valid only during onEvent; copy what you keep.
class ES_Event {
 public:
  ES_Event(const char* topic, const char* payloadBegin, const char* payloadEnd,
           const std::map<std::string, std::string>& properties)
      : mTopic(topic), mBegin(payloadBegin), mEnd(payloadEnd), mProperties(properties) {}

  const char* getTopic() const { return mTopic; }
  const char* getPayloadBegin() const { return mBegin; }
  const char* getPayloadEnd() const { return mEnd; }
  const std::map<std::string, std::string>& getProperties() const { return mProperties; }

 private:
  const char* mTopic;
  const char* mBegin;
  const char* mEnd;
  const std::map<std::string, std::string>& mProperties;
};

class ES_EventHandler {
 public:
  virtual ~ES_EventHandler() = default;
  virtual void onEvent(const ES_Event& event) = 0;
};

// Follows the properties of another program's bus service (see
// ES_EventSubscriber::watchProperties).
class ES_PropertiesHandler {
 public:
  virtual ~ES_PropertiesHandler() = default;
  // The new values a PropertiesChanged signal carried, of the watched
  // properties only (never empty). Valid only during the call.
  virtual void onPropertiesChanged(const std::string& path, const std::string& interface,
                                   const std::map<std::string, qvbus::PropertyValue>& values) = 0;
};

class ES_EventSubscriber {
 public:
  // Opens the process's bus connections when they are not open yet. False
  // with a one-line reason when the bus cannot be reached.
  static bool connect(std::string& error);

  // Subscribes handler to topic (an exact object path, not a prefix),
  // connecting first when needed. The flags and texts are the platform's
  // reserved arguments and are ignored. 0 on success; the bus has accepted
  // the subscription by then, so events published afterwards arrive. A
  // failure is logged and returns non-zero. The handler must outlive the
  // process's event delivery.
  static int subscribe(const char* topic, bool reserved1, ES_EventHandler* handler,
                       const std::string& reserved2, const std::string& reserved3,
                       const std::string& reserved4, bool reserved5);

  // Stops the delivery thread, closes the connections and forgets every
  // subscription and the stop handler (end of process, tests). Must not be
  // called from the delivery thread (it is refused there, with a log line).
  static void shutdown();

  // A receiver checks an event's sender while the sender is still on the
  // bus, so a process that publishes and then ends (a command-line tool, a
  // daemon's last answer) sets a grace period: shutdown() then keeps the
  // connections open until that many milliseconds have passed since the
  // last event this process sent. Default 0 (no wait). Any thread.
  static void setSendGrace(long millis);

  // Daemons: SIGTERM and SIGINT are blocked in every thread (call
  // blockStopSignals on the main thread before connect, so the delivery
  // thread inherits the mask) and the delivery thread, which watches them
  // through a signalfd, calls handler(context) once per signal.
  // A null handler stops the watching. The stop handler runs even when no
  // bus is reachable or the bus connection was lost.
  static void blockStopSignals();
  static void setStopHandler(void (*handler)(void* context), void* context);

  // A conventional bus service beside the events (BusService.h): exports
  // spec's object on the receiving connection, then asks for spec.busName
  // without queueing. Method calls and property reads are answered on the
  // delivery thread, one at a time among the events; a method caller is
  // checked by the same rule as an event's sender (root, this process's
  // user, the trusted group) and answered with AccessDenied otherwise.
  // Connects first when needed. 1 when the name is owned, 0 when another
  // connection owns it, -1 with a reason. handler must outlive the event
  // delivery. A bus that drops the connection takes the service with it.
  static int exportService(const qvbus::ServiceSpec& spec, qvbus::ServiceHandler* handler, std::string& error);

  // Follows another service's properties: the PropertiesChanged signals of
  // interface on the object path (exact), whoever sends them. kinds names
  // the properties of interest and their kinds; a value of another type,
  // and a property that is only invalidated, is left out, and a signal with
  // nothing of interest is not delivered. The sender is checked by the same
  // rule as an event's, and handler is called on the delivery thread, in
  // arrival order among the events. Connects first when needed. 0 on
  // success (the bus has accepted the match, so changes announced
  // afterwards arrive); a failure is logged and returns non-zero. handler
  // must outlive the event delivery; like the subscriptions, the watch is
  // gone with a connection the bus dropped.
  static int watchProperties(const std::string& path, const std::string& interface,
                             const std::map<std::string, qvbus::PropertyKind>& kinds, ES_PropertiesHandler* handler);

  // Announces changed properties of an exported object (PropertiesChanged,
  // the values read from its handler on the calling thread). Any thread,
  // the delivery thread inside a handler included. Failures are logged.
  static void propertiesChanged(const std::string& path, const std::string& interface,
                                const std::vector<std::string>& names);
};

// A copy of one event, as an event monitor hands it out.
struct ES_EventRecord {
  std::string topic;
  std::map<std::string, std::string> properties;  // "__QV_Event__mValue" included
  std::string payload;                            // every byte, NUL bytes included
};

// A bus connection of its own that watches every event on a topic and the
// topics below it, for tools (an event log) and tests. It has no thread and
// shares nothing with ES_EventSubscriber: the owner asks for the next event.
//
// Threads: one object on one thread at a time.
class ES_EventMonitor {
 public:
  ES_EventMonitor();
  ~ES_EventMonitor();
  ES_EventMonitor(const ES_EventMonitor&) = delete;
  ES_EventMonitor& operator=(const ES_EventMonitor&) = delete;

  // Connects and watches topicPrefix (an object path; "/" watches every
  // event). Events published after it returns true are seen. False with a
  // one-line reason.
  bool open(const std::string& topicPrefix, std::string& error);

  // The next event, waiting up to timeoutMillis (< 0: no limit). 1 with out
  // filled, 0 when the time ran out, -1 when not open or the connection is
  // lost (reason in error).
  int next(ES_EventRecord& out, long timeoutMillis, std::string& error);

 private:
  std::unique_ptr<qvbus::Connection> mConnection;
  std::deque<ES_EventRecord> mPending;
};
