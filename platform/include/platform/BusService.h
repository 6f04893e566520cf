// A conventional bus service beside the events: a well-known name, one
// object with one interface of methods and properties, and a small client
// to call such services. sd-bus stays inside the platform; callers describe
// their interface with the plain types below.
//
// Only the shapes the Quorvel services need are supported: method arguments
// of type "s" and "ay" (no return values), and properties of the kinds of
// PropertyKind, read-only, each announced with PropertiesChanged.
//
// Threads: see ES_EventSubscriber::exportService and propertiesChanged in
// EventService.h for the service side; a BusClient is one object on one
// thread at a time.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace qvbus {

class Connection;

// The D-Bus error names the services answer with.
constexpr const char* kErrorInvalidArgs = "org.freedesktop.DBus.Error.InvalidArgs";
constexpr const char* kErrorAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";
constexpr const char* kErrorShuttingDown = "com.kestrova.Quorvel.Error.ShuttingDown";

enum class PropertyKind {
  STRING,             // s
  INT32,              // i
  UINT64,             // t
  STRING_LIST,        // as
  STRING_MAP,         // a{ss}
  STRING_INT32_MAP,   // a{si}
  STRING_UINT64_MAP,  // a{st}
};

// The D-Bus signature of a kind ("s", "a{ss}", ...).
const char* signatureOf(PropertyKind kind);

// A property value; the field that the kind names is used.
struct PropertyValue {
  PropertyKind kind = PropertyKind::STRING;
  std::string text;
  int64_t number = 0;  // INT32 and UINT64
  std::vector<std::string> list;
  std::map<std::string, std::string> map;
  std::map<std::string, int64_t> numbers;  // STRING_INT32_MAP and STRING_UINT64_MAP
};

struct MethodSpec {
  std::string name;
  std::string signature;  // a sequence of "s" and "ay"
  std::string argNames;   // NUL-free, blank-separated names, one per argument
};

struct PropertySpec {
  std::string name;
  PropertyKind kind;
  bool constant = false;  // never changes while the service runs
};

struct ServiceSpec {
  std::string busName;     // e.g. com.kestrova.Quorvel.Flp2
  std::string objectPath;  // e.g. /com/kestrova/Quorvel/Flp2
  std::string interface;   // e.g. com.kestrova.Quorvel.Service1
  std::vector<MethodSpec> methods;
  std::vector<PropertySpec> properties;
};

// A method's outcome: success when errorName is empty.
struct MethodReply {
  std::string errorName;
  std::string errorMessage;
  static MethodReply ok() { return MethodReply(); }
  static MethodReply error(const char* name, std::string message) { return MethodReply{name, std::move(message)}; }
};

// What a service implements. Both operations run on the event delivery
// thread while the bus connection is held (method calls and property
// reads); property() also runs on a thread that calls propertiesChanged.
// Neither may call propertiesChanged for another thread's sake or block for
// long.
class ServiceHandler {
 public:
  virtual ~ServiceHandler() = default;
  // A call from a caller the sender rule trusts (others are answered with
  // AccessDenied before this is called). args holds one text per argument
  // of the method's signature; an "ay" argument keeps every byte.
  virtual MethodReply onMethod(const std::string& method, const std::vector<std::string>& args) = 0;
  virtual PropertyValue property(const std::string& name) = 0;
};

// A client of a bus service with a connection of its own, on the bus chosen
// as for the events (QUORVEL_BUS_ADDRESS, session bus, system bus).
class BusClient {
 public:
  BusClient();
  ~BusClient();
  BusClient(const BusClient&) = delete;
  BusClient& operator=(const BusClient&) = delete;

  // False with a one-line reason when the bus cannot be reached.
  bool open(std::string& error);

  // 1 when name has an owner, 0 when not, -1 with a reason.
  int hasOwner(const std::string& name, std::string& error);

  // One argument of a call: type 's' (a text without NUL bytes) or 'y' (an
  // "ay" byte array).
  struct Arg {
    char type;
    std::string bytes;
  };
  // Calls a method and waits for the answer (up to 25 seconds). True on a
  // plain reply; false with the error's name and message otherwise (a bus
  // failure gets the name "" and a reason in message).
  bool call(const std::string& destination, const std::string& path, const std::string& interface,
            const std::string& method, const std::vector<Arg>& args, std::string& errorName,
            std::string& errorMessage);

  // Reads a property of one of the kinds above. False with a reason.
  bool getProperty(const std::string& destination, const std::string& path, const std::string& interface,
                   const std::string& name, PropertyKind kind, PropertyValue& out, std::string& error);

 private:
  std::unique_ptr<Connection> mConnection;
};

}  // namespace qvbus
