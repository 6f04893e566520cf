// The platform's one doorway to sd-bus. Nothing outside Bus.cpp includes the
// systemd headers; the event service and the event monitor talk to the bus
// through Connection only.
//
// Wire form of an event: a signal whose object path is the topic, interface
// kQvBusInterface, member kQvBusMember, signature a{ss}ay (properties,
// payload).
//
// Threads: a Connection is not thread-safe (sd-bus connections are not).
// Use one object from one thread at a time; the owner serialises access.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/BusService.h"

struct sd_bus;  // the systemd type, kept opaque here

namespace qvbus {

struct Message {
  std::string sender;  // the sender's unique bus name; empty when the bus gave none
  std::string path;
  std::map<std::string, std::string> properties;
  std::string payload;  // every byte as received, NUL bytes included
  // A PropertiesChanged signal of a watched object rather than an event:
  // the interface it names and the new values of the watched properties it
  // carried (properties, payload unused).
  bool propertiesChange = false;
  std::string interface;
  std::map<std::string, PropertyValue> values;
};

class Connection {
 public:
  // Opens a connection to the bus chosen by the environment:
  // QUORVEL_BUS_ADDRESS when set, else the session bus when
  // DBUS_SESSION_BUS_ADDRESS is set, else the system bus. Null with a
  // one-line reason in error when it cannot be reached.
  static std::unique_ptr<Connection> open(std::string& error);

  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Where this connection went ("system bus" or the address), for messages.
  const std::string& address() const { return mAddress; }

  // Whether the connection is still usable.
  bool isOpen() const;

  // Sends one event signal and waits until it is written to the socket.
  // False with a reason when path is not an object path or sending fails.
  bool emit(const std::string& path, const std::map<std::string, std::string>& properties,
            const std::string& payload, std::string& error);

  // Asks the bus for every event signal on path (subtree=false) or on path
  // and everything below it (subtree=true). Waits for the bus's answer, so
  // events sent after the call returns are delivered. False with a reason.
  bool addMatch(const std::string& path, bool subtree, std::string& error);

  // Asks the bus for the PropertiesChanged signals of interface on path
  // (any sender). They arrive through process() as messages with
  // propertiesChange set, carrying the values of the properties named in
  // kinds that have that kind's type; other properties, and properties only
  // invalidated, are left out. Waits for the bus's answer, like addMatch.
  // False with a reason.
  bool addPropertiesMatch(const std::string& path, const std::string& interface,
                          const std::map<std::string, PropertyKind>& kinds, std::string& error);

  // Reads and dispatches what has arrived, without blocking, and appends the
  // received events to out. 1 when more may be pending, 0 when idle, -1 when
  // the connection is gone (reason in error).
  int process(std::vector<Message>& out, std::string& error);

  // What to poll for before the next process(): the socket, the poll events
  // sd-bus asks for, and its own deadline (-1: none). Plain data, so the
  // caller may poll without holding the lock that guards the connection.
  struct WaitSpec {
    int fd = -1;
    short events = 0;
    long timeoutMillis = -1;
  };
  // Fills in what to poll for after the last process(). False with a reason
  // when the connection is gone.
  bool prepareWait(WaitSpec& spec, std::string& error);

  // What the bus knows about a connected client, by its unique name.
  struct PeerCredentials {
    uid_t uid = 0;
    // The client's groups as the bus saw them when it connected; empty and
    // haveGroups false when the bus does not report them.
    std::vector<gid_t> groups;
    bool haveGroups = false;
  };
  // Asks the bus (GetConnectionCredentials, waiting at most a few seconds)
  // about name. 1 with out filled; 0 when the bus knows no such client (it
  // has disconnected); -1 with a reason when the bus could not be asked.
  // Events that arrive meanwhile wait in the connection's queue for the
  // next process().
  int peerCredentials(const std::string& name, PeerCredentials& out, std::string& error);

  // --- The conventional service side (BusService.h) ---

  // Decides whether a method caller (its unique name) may call; false with
  // the reason that the AccessDenied reply carries. Runs inside process().
  using CallerGate = bool (*)(void* context, Connection& bus, const std::string& sender, std::string& reason);

  // Exports spec's interface on spec.objectPath; method calls and property
  // reads are answered inside process(). handler and gateContext must
  // outlive the connection. False with a reason.
  bool exportObject(const ServiceSpec& spec, ServiceHandler* handler, CallerGate gate, void* gateContext,
                    std::string& error);

  // Asks the bus for a well-known name without queueing. 1 when this
  // connection owns it now, 0 when another connection owns it, -1 with a
  // reason (the bus refused it, e.g. by its policy).
  int requestName(const std::string& name, std::string& error);

  // Emits PropertiesChanged for names of an exported interface (the values
  // are read from its handler on the calling thread) and flushes it.
  bool emitPropertiesChanged(const std::string& path, const std::string& interface,
                             const std::vector<std::string>& names, std::string& error);

  // --- The client side ---
  int nameHasOwner(const std::string& name, std::string& error);
  bool callMethod(const std::string& destination, const std::string& path, const std::string& interface,
                  const std::string& method, const std::vector<BusClient::Arg>& args, std::string& errorName,
                  std::string& errorMessage);
  bool getProperty(const std::string& destination, const std::string& path, const std::string& interface,
                   const std::string& name, PropertyKind kind, PropertyValue& out, std::string& error);

  // Flushes and closes the sd-bus connection.
  struct Closer {
    void operator()(sd_bus* bus) const;
  };

  struct Exported;  // one exported object: its vtable and the texts it points at
  struct Watch;     // one properties match: what its callback needs

 private:
  Connection(sd_bus* bus, std::string address);

  // Declared before mBus, so the vtables outlive the bus that uses them.
  std::vector<std::unique_ptr<Exported>> mExports;
  std::vector<std::unique_ptr<Watch>> mWatches;  // likewise for the match callbacks
  std::unique_ptr<sd_bus, Closer> mBus;
  std::string mAddress;
  // Filled by the match callback during process(); its address is the
  // callback's user data, so a Connection never moves.
  std::vector<Message> mInbox;
};

}  // namespace qvbus
