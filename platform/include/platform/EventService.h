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
// start-up. The first successful subscription starts the one delivery thread
// of the process, which calls ES_EventHandler::onEvent for every matching
// signal, one at a time, in arrival order.
#pragma once

#include <cstddef>
#include <map>
#include <string>

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

class ES_EventSubscriber {
 public:
  // Opens the process's bus connections when they are not open yet. False
  // with a one-line reason when the bus cannot be reached.
  static bool connect(std::string& error);

  // Subscribes handler to topic. The flags and texts are the platform's
  // reserved arguments and are ignored. 0 on success. The handler must
  // outlive the process's event delivery.
  static int subscribe(const char* topic, bool reserved1, ES_EventHandler* handler,
                       const std::string& reserved2, const std::string& reserved3,
                       const std::string& reserved4, bool reserved5);

  // Stops the delivery thread and closes the connections (end of process,
  // tests). Must not be called from the delivery thread.
  static void shutdown();
};
