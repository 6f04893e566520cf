#include "Bus.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <new>

#include "platform/EventService.h"
#include "platform/Log.h"

namespace qvbus {
namespace {

struct MessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

std::string reason(int negErrno) { return std::strerror(negErrno < 0 ? -negErrno : negErrno); }

const char* envText(const char* name) {
  const char* v = std::getenv(name);
  return (v != nullptr && *v != '\0') ? v : nullptr;
}

// Reads the body of an event signal into out. False when it does not have
// the event's shape.
bool readEvent(sd_bus_message* m, Message& out) {
  if (sd_bus_message_has_signature(m, "a{ss}ay") <= 0) return false;
  int r = sd_bus_message_enter_container(m, 'a', "{ss}");
  if (r < 0) return false;
  while ((r = sd_bus_message_enter_container(m, 'e', "ss")) > 0) {
    const char* key = nullptr;
    const char* value = nullptr;
    if (sd_bus_message_read(m, "ss", &key, &value) < 0) return false;
    out.properties[key] = value;
    if (sd_bus_message_exit_container(m) < 0) return false;
  }
  if (r < 0 || sd_bus_message_exit_container(m) < 0) return false;
  const void* data = nullptr;
  size_t size = 0;
  if (sd_bus_message_read_array(m, 'y', &data, &size) < 0) return false;
  if (size > 0) out.payload.assign(static_cast<const char*>(data), size);
  return true;
}

// Match callback: userdata is the owning connection's inbox. Runs inside
// sd_bus_process on the thread that processes the connection.
int onEventSignal(sd_bus_message* m, void* userdata, sd_bus_error* /*error*/) {
  if (sd_bus_message_is_signal(m, kQvBusInterface, kQvBusMember) <= 0) return 0;
  const char* path = sd_bus_message_get_path(m);
  try {
    Message event;
    const char* sender = sd_bus_message_get_sender(m);
    event.sender = sender != nullptr ? sender : "";
    event.path = path != nullptr ? path : "";
    if (!readEvent(m, event)) {
      QV_LOG(3, "Ignoring a malformed event signal on %s", event.path.c_str());
      return 0;
    }
    static_cast<std::vector<Message>*>(userdata)->push_back(std::move(event));
  } catch (const std::bad_alloc&) {
    // Exceptions must not cross sd-bus's C frames.
    QV_LOG(3, "Dropping an event on %s: out of memory", path != nullptr ? path : "");
  }
  return 0;
}

// An sd_bus_error that frees itself.
struct BusError {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  ~BusError() { sd_bus_error_free(&error); }
  // What went wrong with a call that returned r: the bus's message (else
  // the error's name) when it sent an error, else the system's text for r.
  std::string describe(int r) const {
    if (!sd_bus_error_is_set(&error)) return reason(r);
    return error.message != nullptr ? error.message : error.name;
  }
};

// Reads the a{sv} answer of GetConnectionCredentials.
int readCredentials(sd_bus_message* reply, Connection::PeerCredentials& out, bool& haveUid) {
  int r = sd_bus_message_enter_container(reply, 'a', "{sv}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(reply, 'e', "sv")) > 0) {
    const char* key = nullptr;
    r = sd_bus_message_read(reply, "s", &key);
    if (r < 0) return r;
    if (std::strcmp(key, "UnixUserID") == 0) {
      uint32_t uid = 0;
      r = sd_bus_message_read(reply, "v", "u", &uid);
      if (r < 0) return r;
      out.uid = static_cast<uid_t>(uid);
      haveUid = true;
    } else if (std::strcmp(key, "UnixGroupIDs") == 0) {
      r = sd_bus_message_enter_container(reply, 'v', "au");
      if (r < 0) return r;
      const void* data = nullptr;
      size_t size = 0;
      r = sd_bus_message_read_array(reply, 'u', &data, &size);
      if (r < 0) return r;
      const uint32_t* ids = static_cast<const uint32_t*>(data);
      for (size_t i = 0; i < size / sizeof(uint32_t); ++i) out.groups.push_back(static_cast<gid_t>(ids[i]));
      out.haveGroups = true;
      r = sd_bus_message_exit_container(reply);
      if (r < 0) return r;
    } else {
      r = sd_bus_message_skip(reply, "v");
      if (r < 0) return r;
    }
    r = sd_bus_message_exit_container(reply);
    if (r < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(reply);
}

long monotonicMillisUntil(uint64_t deadlineUsec) {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t nowUsec = static_cast<uint64_t>(now.tv_sec) * 1000000ULL + static_cast<uint64_t>(now.tv_nsec) / 1000ULL;
  if (deadlineUsec <= nowUsec) return 0;
  uint64_t millis = (deadlineUsec - nowUsec + 999) / 1000;
  return millis > static_cast<uint64_t>(LONG_MAX) ? LONG_MAX : static_cast<long>(millis);
}

}  // namespace

void Connection::Closer::operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }

Connection::Connection(sd_bus* bus, std::string address) : mBus(bus), mAddress(std::move(address)) {}

Connection::~Connection() = default;

std::unique_ptr<Connection> Connection::open(std::string& error) {
  std::string address;
  std::unique_ptr<sd_bus, Closer> bus;
  sd_bus* raw = nullptr;  // null after a failed open; adopted at once
  int r;
  if (const char* own = envText("QUORVEL_BUS_ADDRESS")) {
    address = own;
    r = sd_bus_new(&raw);
    bus.reset(raw);
    if (r >= 0) r = sd_bus_set_address(bus.get(), own);
    if (r >= 0) r = sd_bus_set_bus_client(bus.get(), 1);
    if (r >= 0) r = sd_bus_start(bus.get());
  } else if (const char* session = envText("DBUS_SESSION_BUS_ADDRESS")) {
    address = session;
    r = sd_bus_open_user(&raw);
    bus.reset(raw);
  } else {
    address = "system bus";
    r = sd_bus_open_system(&raw);
    bus.reset(raw);
  }
  if (r >= 0) {
    // The Hello exchange completes here, so an unreachable or refusing bus
    // is reported now rather than at the first event.
    const char* unique = nullptr;
    r = sd_bus_get_unique_name(bus.get(), &unique);
  }
  if (r < 0) {
    error = "cannot connect to the bus at " + address + ": " + reason(r);
    return nullptr;
  }
  // The allocation happens before bus.release() is evaluated, so a failed
  // allocation leaves the bus with its owner.
  std::unique_ptr<Connection> connection(new (std::nothrow) Connection(bus.release(), address));
  if (!connection) error = "cannot connect to the bus at " + address + ": out of memory";
  return connection;
}

bool Connection::isOpen() const { return sd_bus_is_open(mBus.get()) > 0; }

bool Connection::emit(const std::string& path, const std::map<std::string, std::string>& properties,
                      const std::string& payload, std::string& error) {
  if (sd_bus_object_path_is_valid(path.c_str()) <= 0) {
    error = "not a valid topic path: \"" + path + "\"";
    return false;
  }
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_signal(mBus.get(), &raw, path.c_str(), kQvBusInterface, kQvBusMember);
  MessagePtr message(r >= 0 ? raw : nullptr);
  if (r >= 0) r = sd_bus_message_open_container(message.get(), 'a', "{ss}");
  for (auto it = properties.begin(); r >= 0 && it != properties.end(); ++it) {
    r = sd_bus_message_append(message.get(), "{ss}", it->first.c_str(), it->second.c_str());
  }
  if (r >= 0) r = sd_bus_message_close_container(message.get());
  if (r >= 0) r = sd_bus_message_append_array(message.get(), 'y', payload.data(), payload.size());
  if (r < 0) {
    error = "cannot build the event " + path + ": " + reason(r);
    return false;
  }
  r = sd_bus_send(mBus.get(), message.get(), nullptr);
  if (r >= 0) r = sd_bus_flush(mBus.get());
  if (r < 0) {
    error = "cannot send the event " + path + " to the bus at " + mAddress + ": " + reason(r);
    return false;
  }
  return true;
}

bool Connection::addMatch(const std::string& path, bool subtree, std::string& error) {
  if (sd_bus_object_path_is_valid(path.c_str()) <= 0) {
    error = "not a valid topic path: \"" + path + "\"";
    return false;
  }
  // A valid object path holds no quote, so it can stand in the rule as is.
  std::string rule = std::string("type='signal',interface='") + kQvBusInterface + "',member='" + kQvBusMember +
                     "'," + (subtree ? "path_namespace='" : "path='") + path + "'";
  int r = sd_bus_add_match(mBus.get(), nullptr, rule.c_str(), onEventSignal, &mInbox);
  if (r < 0) {
    error = "cannot subscribe to " + path + " on the bus at " + mAddress + ": " + reason(r);
    return false;
  }
  return true;
}

int Connection::process(std::vector<Message>& out, std::string& error) {
  int r = sd_bus_process(mBus.get(), nullptr);
  for (Message& m : mInbox) out.push_back(std::move(m));
  mInbox.clear();
  if (r < 0) {
    error = "the connection to the bus at " + mAddress + " failed: " + reason(r);
    return -1;
  }
  if (!isOpen()) {
    error = "the bus at " + mAddress + " closed the connection";
    return -1;
  }
  return r > 0 ? 1 : 0;
}

int Connection::peerCredentials(const std::string& name, PeerCredentials& out, std::string& error) {
  constexpr uint64_t kTimeoutUsec = 5 * 1000 * 1000;
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(mBus.get(), &raw, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                         "org.freedesktop.DBus", "GetConnectionCredentials");
  MessagePtr call(r >= 0 ? raw : nullptr);
  if (r >= 0) r = sd_bus_message_append(call.get(), "s", name.c_str());
  BusError callError;
  MessagePtr reply;
  if (r >= 0) {
    raw = nullptr;
    r = sd_bus_call(mBus.get(), call.get(), kTimeoutUsec, &callError.error, &raw);
    reply.reset(r >= 0 ? raw : nullptr);
  }
  if (r < 0) {
    if (sd_bus_error_has_name(&callError.error, "org.freedesktop.DBus.Error.NameHasNoOwner")) return 0;
    error = "cannot ask the bus at " + mAddress + " about " + name + ": " + callError.describe(r);
    return -1;
  }
  out = PeerCredentials();
  bool haveUid = false;
  r = readCredentials(reply.get(), out, haveUid);
  if (r < 0 || !haveUid) {
    error = "the bus at " + mAddress + " gave no user id for " + name;
    return -1;
  }
  return 1;
}

bool Connection::prepareWait(WaitSpec& spec, std::string& error) {
  int fd = sd_bus_get_fd(mBus.get());
  int events = fd >= 0 ? sd_bus_get_events(mBus.get()) : fd;
  uint64_t deadline = UINT64_MAX;
  int r = events >= 0 ? sd_bus_get_timeout(mBus.get(), &deadline) : events;
  if (r < 0) {
    error = "the connection to the bus at " + mAddress + " failed: " + reason(r);
    return false;
  }
  spec.fd = fd;
  spec.events = static_cast<short>(events);
  spec.timeoutMillis = deadline == UINT64_MAX ? -1 : monotonicMillisUntil(deadline);
  return true;
}


// --- The conventional service side ---

const char* signatureOf(PropertyKind kind) {
  switch (kind) {
    case PropertyKind::STRING: return "s";
    case PropertyKind::INT32: return "i";
    case PropertyKind::UINT64: return "t";
    case PropertyKind::STRING_LIST: return "as";
    case PropertyKind::STRING_MAP: return "a{ss}";
    case PropertyKind::STRING_INT32_MAP: return "a{si}";
    case PropertyKind::STRING_UINT64_MAP: return "a{st}";
  }
  return "s";
}

struct Connection::Exported {
  Connection* connection = nullptr;
  ServiceHandler* handler = nullptr;
  CallerGate gate = nullptr;
  void* gateContext = nullptr;
  std::map<std::string, std::string> signatures;     // method -> signature
  std::map<std::string, PropertyKind> kinds;         // property -> kind
  std::deque<std::string> texts;                     // what the vtable points at; a deque never moves them
  std::vector<sd_bus_vtable> vtable;
  const char* keep(const std::string& text) {
    texts.push_back(text);
    return texts.back().c_str();
  }
};

namespace {

// The argument names of a method as sd-bus wants them: each NUL-terminated,
// the list ending with an empty name.
std::string namesList(const std::string& blankSeparated) {
  std::string out;
  std::string::size_type at = 0;
  while (at < blankSeparated.size()) {
    std::string::size_type end = blankSeparated.find(' ', at);
    if (end == std::string::npos) end = blankSeparated.size();
    if (end > at) {
      out.append(blankSeparated, at, end - at);
      out.push_back('\0');
    }
    at = end + 1;
  }
  return out;
}

int appendProperty(sd_bus_message* m, PropertyKind kind, const PropertyValue& v) {
  int r = 0;
  switch (kind) {
    case PropertyKind::STRING:
      return sd_bus_message_append(m, "s", v.text.c_str());
    case PropertyKind::INT32:
      return sd_bus_message_append(m, "i", static_cast<int32_t>(v.number));
    case PropertyKind::UINT64:
      return sd_bus_message_append(m, "t", static_cast<uint64_t>(v.number));
    case PropertyKind::STRING_LIST:
      r = sd_bus_message_open_container(m, 'a', "s");
      for (auto it = v.list.begin(); r >= 0 && it != v.list.end(); ++it) r = sd_bus_message_append(m, "s", it->c_str());
      return r < 0 ? r : sd_bus_message_close_container(m);
    case PropertyKind::STRING_MAP:
      r = sd_bus_message_open_container(m, 'a', "{ss}");
      for (auto it = v.map.begin(); r >= 0 && it != v.map.end(); ++it) {
        r = sd_bus_message_append(m, "{ss}", it->first.c_str(), it->second.c_str());
      }
      return r < 0 ? r : sd_bus_message_close_container(m);
    case PropertyKind::STRING_INT32_MAP:
      r = sd_bus_message_open_container(m, 'a', "{si}");
      for (auto it = v.numbers.begin(); r >= 0 && it != v.numbers.end(); ++it) {
        r = sd_bus_message_append(m, "{si}", it->first.c_str(), static_cast<int32_t>(it->second));
      }
      return r < 0 ? r : sd_bus_message_close_container(m);
    case PropertyKind::STRING_UINT64_MAP:
      r = sd_bus_message_open_container(m, 'a', "{st}");
      for (auto it = v.numbers.begin(); r >= 0 && it != v.numbers.end(); ++it) {
        r = sd_bus_message_append(m, "{st}", it->first.c_str(), static_cast<uint64_t>(it->second));
      }
      return r < 0 ? r : sd_bus_message_close_container(m);
  }
  return -EINVAL;
}

int readProperty(sd_bus_message* m, PropertyKind kind, PropertyValue& v) {
  v = PropertyValue();
  v.kind = kind;
  int r = 0;
  const char* text = nullptr;
  switch (kind) {
    case PropertyKind::STRING:
      r = sd_bus_message_read(m, "s", &text);
      if (r >= 0) v.text = text;
      return r;
    case PropertyKind::INT32: {
      int32_t i = 0;
      r = sd_bus_message_read(m, "i", &i);
      v.number = i;
      return r;
    }
    case PropertyKind::UINT64: {
      uint64_t t = 0;
      r = sd_bus_message_read(m, "t", &t);
      v.number = static_cast<int64_t>(t);
      return r;
    }
    case PropertyKind::STRING_LIST:
      r = sd_bus_message_enter_container(m, 'a', "s");
      while (r >= 0 && (r = sd_bus_message_read(m, "s", &text)) > 0) v.list.push_back(text);
      return r < 0 ? r : sd_bus_message_exit_container(m);
    case PropertyKind::STRING_MAP:
    case PropertyKind::STRING_INT32_MAP:
    case PropertyKind::STRING_UINT64_MAP: {
      const char* entry = kind == PropertyKind::STRING_MAP ? "ss" : kind == PropertyKind::STRING_INT32_MAP ? "si" : "st";
      const std::string contents = std::string("{") + entry + "}";
      r = sd_bus_message_enter_container(m, 'a', contents.c_str());
      while (r >= 0 && (r = sd_bus_message_enter_container(m, 'e', entry)) > 0) {
        const char* key = nullptr;
        if (kind == PropertyKind::STRING_MAP) {
          r = sd_bus_message_read(m, "ss", &key, &text);
          if (r >= 0) v.map[key] = text;
        } else if (kind == PropertyKind::STRING_INT32_MAP) {
          int32_t i = 0;
          r = sd_bus_message_read(m, "si", &key, &i);
          if (r >= 0) v.numbers[key] = i;
        } else {
          uint64_t t = 0;
          r = sd_bus_message_read(m, "st", &key, &t);
          if (r >= 0) v.numbers[key] = static_cast<int64_t>(t);
        }
        if (r >= 0) r = sd_bus_message_exit_container(m);
      }
      return r < 0 ? r : sd_bus_message_exit_container(m);
    }
  }
  return -EINVAL;
}

// Method callback of every exported method; userdata is the Exported. Runs
// inside sd_bus_process on the thread that processes the connection.
int onMethodCall(sd_bus_message* m, void* userdata, sd_bus_error* /*error*/) {
  auto* object = static_cast<Connection::Exported*>(userdata);
  try {
    const char* member = sd_bus_message_get_member(m);
    const char* sender = sd_bus_message_get_sender(m);
    std::string reason;
    if (sender == nullptr) {
      return sd_bus_reply_method_errorf(m, kErrorAccessDenied, "the bus did not say who is calling");
    }
    if (object->gate != nullptr && !object->gate(object->gateContext, *object->connection, sender, reason)) {
      QV_LOG(3, "Refusing the call %s from %s: %s", member != nullptr ? member : "", sender, reason.c_str());
      return sd_bus_reply_method_errorf(m, kErrorAccessDenied, "%s", reason.c_str());
    }
    auto sig = object->signatures.find(member != nullptr ? member : "");
    if (sig == object->signatures.end()) {
      return sd_bus_reply_method_errorf(m, "org.freedesktop.DBus.Error.UnknownMethod", "no such method");
    }
    // sd-bus has checked the signature against the vtable already.
    std::vector<std::string> args;
    const std::string& signature = sig->second;
    for (size_t i = 0; i < signature.size(); ++i) {
      int r;
      if (signature[i] == 's') {
        const char* text = nullptr;
        r = sd_bus_message_read(m, "s", &text);
        if (r >= 0) args.emplace_back(text);
      } else {
        const void* data = nullptr;
        size_t size = 0;
        r = sd_bus_message_read_array(m, 'y', &data, &size);
        if (r >= 0) args.emplace_back(static_cast<const char*>(data), size);
        ++i;  // "ay" is two characters
      }
      if (r < 0) return sd_bus_reply_method_errorf(m, kErrorInvalidArgs, "cannot read the arguments: %s", std::strerror(-r));
    }
    MethodReply reply = object->handler->onMethod(member, args);
    if (reply.errorName.empty()) return sd_bus_reply_method_return(m, "");
    return sd_bus_reply_method_errorf(m, reply.errorName.c_str(), "%s", reply.errorMessage.c_str());
  } catch (const std::bad_alloc&) {
    // Exceptions must not cross sd-bus's C frames.
    return sd_bus_reply_method_errorf(m, "org.freedesktop.DBus.Error.NoMemory", "out of memory");
  }
}

int onPropertyGet(sd_bus* /*bus*/, const char* /*path*/, const char* /*interface*/, const char* property,
                  sd_bus_message* reply, void* userdata, sd_bus_error* /*error*/) {
  auto* object = static_cast<Connection::Exported*>(userdata);
  try {
    auto kind = object->kinds.find(property);
    if (kind == object->kinds.end()) return -ENOENT;
    PropertyValue v = object->handler->property(property);
    return appendProperty(reply, kind->second, v);
  } catch (const std::bad_alloc&) {
    return -ENOMEM;
  }
}

}  // namespace

bool Connection::exportObject(const ServiceSpec& spec, ServiceHandler* handler, CallerGate gate, void* gateContext,
                              std::string& error) {
  if (sd_bus_object_path_is_valid(spec.objectPath.c_str()) <= 0 ||
      sd_bus_interface_name_is_valid(spec.interface.c_str()) <= 0) {
    error = "not a valid object path or interface: " + spec.objectPath + " " + spec.interface;
    return false;
  }
  auto object = std::unique_ptr<Exported>(new (std::nothrow) Exported);
  if (!object) {
    error = "out of memory";
    return false;
  }
  object->connection = this;
  object->handler = handler;
  object->gate = gate;
  object->gateContext = gateContext;
  // Unused parts of a vtable entry's union must be zero.
  sd_bus_vtable zero;
  std::memset(&zero, 0, sizeof zero);
  object->vtable.assign(spec.methods.size() + spec.properties.size() + 2, zero);
  size_t n = 0;
  sd_bus_vtable& start = object->vtable[n++];
  start.type = _SD_BUS_VTABLE_START;
  start.flags = 0;
  start.x.start.element_size = sizeof(sd_bus_vtable);
  start.x.start.features = _SD_BUS_VTABLE_PARAM_NAMES;
  start.x.start.vtable_format_reference = &sd_bus_object_vtable_format;
  for (const MethodSpec& method : spec.methods) {
    object->signatures[method.name] = method.signature;
    sd_bus_vtable& e = object->vtable[n++];
    e.type = _SD_BUS_VTABLE_METHOD;
    // Every caller reaches the handler; the gate decides, not sd-bus.
    e.flags = SD_BUS_VTABLE_UNPRIVILEGED;
    e.x.method.member = object->keep(method.name);
    e.x.method.signature = object->keep(method.signature);
    e.x.method.result = object->keep("");
    e.x.method.handler = onMethodCall;
    e.x.method.offset = 0;
    e.x.method.names = object->keep(namesList(method.argNames) + std::string(1, '\0'));
  }
  for (const PropertySpec& property : spec.properties) {
    object->kinds[property.name] = property.kind;
    sd_bus_vtable& e = object->vtable[n++];
    e.type = _SD_BUS_VTABLE_PROPERTY;
    e.flags = property.constant ? SD_BUS_VTABLE_PROPERTY_CONST : SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE;
    e.x.property.member = object->keep(property.name);
    e.x.property.signature = signatureOf(property.kind);
    e.x.property.get = onPropertyGet;
    e.x.property.set = nullptr;
    e.x.property.offset = 0;
  }
  object->vtable[n].type = _SD_BUS_VTABLE_END;
  int r = sd_bus_add_object_vtable(mBus.get(), nullptr, spec.objectPath.c_str(), spec.interface.c_str(),
                                   object->vtable.data(), object.get());
  if (r < 0) {
    error = "cannot export " + spec.objectPath + " on the bus at " + mAddress + ": " + reason(r);
    return false;
  }
  mExports.push_back(std::move(object));
  return true;
}

int Connection::requestName(const std::string& name, std::string& error) {
  int r = sd_bus_request_name(mBus.get(), name.c_str(), 0);
  if (r == -EEXIST) return 0;
  if (r < 0) {
    error = "cannot own the name " + name + " on the bus at " + mAddress + ": " + reason(r);
    return -1;
  }
  return 1;
}

bool Connection::emitPropertiesChanged(const std::string& path, const std::string& interface,
                                       const std::vector<std::string>& names, std::string& error) {
  std::vector<char*> list;
  for (const std::string& n : names) list.push_back(const_cast<char*>(n.c_str()));
  list.push_back(nullptr);
  int r = sd_bus_emit_properties_changed_strv(mBus.get(), path.c_str(), interface.c_str(), list.data());
  if (r >= 0) r = sd_bus_flush(mBus.get());
  if (r < 0) {
    error = "cannot announce the changed properties of " + path + ": " + reason(r);
    return false;
  }
  return true;
}

int Connection::nameHasOwner(const std::string& name, std::string& error) {
  BusError callError;
  sd_bus_message* raw = nullptr;
  int r = sd_bus_call_method(mBus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                             "NameHasOwner", &callError.error, &raw, "s", name.c_str());
  MessagePtr reply(r >= 0 ? raw : nullptr);
  int has = 0;
  if (r >= 0) r = sd_bus_message_read(reply.get(), "b", &has);
  if (r < 0) {
    error = "cannot ask the bus at " + mAddress + " about " + name + ": " + callError.describe(r);
    return -1;
  }
  return has ? 1 : 0;
}

bool Connection::callMethod(const std::string& destination, const std::string& path, const std::string& interface,
                            const std::string& method, const std::vector<BusClient::Arg>& args,
                            std::string& errorName, std::string& errorMessage) {
  constexpr uint64_t kTimeoutUsec = 25ULL * 1000 * 1000;
  errorName.clear();
  errorMessage.clear();
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(mBus.get(), &raw, destination.c_str(), path.c_str(), interface.c_str(),
                                         method.c_str());
  MessagePtr call(r >= 0 ? raw : nullptr);
  for (auto it = args.begin(); r >= 0 && it != args.end(); ++it) {
    if (it->type == 's') {
      r = sd_bus_message_append(call.get(), "s", it->bytes.c_str());
    } else {
      r = sd_bus_message_append_array(call.get(), 'y', it->bytes.data(), it->bytes.size());
    }
  }
  BusError callError;
  MessagePtr reply;
  if (r >= 0) {
    raw = nullptr;
    r = sd_bus_call(mBus.get(), call.get(), kTimeoutUsec, &callError.error, &raw);
    reply.reset(r >= 0 ? raw : nullptr);
  }
  if (r >= 0) return true;
  if (sd_bus_error_is_set(&callError.error)) {
    errorName = callError.error.name != nullptr ? callError.error.name : "";
    errorMessage = callError.error.message != nullptr ? callError.error.message : "";
  } else {
    errorMessage = "cannot call " + method + " on " + destination + ": " + reason(r);
  }
  return false;
}

bool Connection::getProperty(const std::string& destination, const std::string& path, const std::string& interface,
                             const std::string& name, PropertyKind kind, PropertyValue& out, std::string& error) {
  BusError callError;
  sd_bus_message* raw = nullptr;
  int r = sd_bus_get_property(mBus.get(), destination.c_str(), path.c_str(), interface.c_str(), name.c_str(),
                              &callError.error, &raw, signatureOf(kind));
  MessagePtr reply(r >= 0 ? raw : nullptr);
  if (r >= 0) r = readProperty(reply.get(), kind, out);
  if (r < 0) {
    error = "cannot read " + name + " of " + destination + ": " +
            (sd_bus_error_is_set(&callError.error) && callError.error.message != nullptr ? callError.error.message
                                                                                          : reason(r));
    return false;
  }
  return true;
}

struct Connection::Watch {
  std::vector<Message>* inbox = nullptr;
  std::string interface;
  std::map<std::string, PropertyKind> kinds;
};

namespace {

// Reads the body of a PropertiesChanged signal (sa{sv}as) into out: the
// watched properties whose values have the expected type. False when the
// signal does not have that shape or names another interface.
bool readPropertiesChanged(sd_bus_message* m, const Connection::Watch& watch, Message& out) {
  if (sd_bus_message_has_signature(m, "sa{sv}as") <= 0) return false;
  const char* interface = nullptr;
  if (sd_bus_message_read(m, "s", &interface) < 0 || watch.interface != interface) return false;
  out.interface = interface;
  int r = sd_bus_message_enter_container(m, 'a', "{sv}");
  if (r < 0) return false;
  while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char* name = nullptr;
    if (sd_bus_message_read(m, "s", &name) < 0) return false;
    auto kind = watch.kinds.find(name);
    const char* contents = nullptr;
    if (sd_bus_message_peek_type(m, nullptr, &contents) < 0) return false;
    if (kind != watch.kinds.end() && contents != nullptr && std::strcmp(contents, signatureOf(kind->second)) == 0) {
      PropertyValue value;
      if (sd_bus_message_enter_container(m, 'v', contents) < 0 || readProperty(m, kind->second, value) < 0 ||
          sd_bus_message_exit_container(m) < 0) {
        return false;
      }
      out.values[name] = std::move(value);
    } else if (sd_bus_message_skip(m, "v") < 0) {
      return false;
    }
    if (sd_bus_message_exit_container(m) < 0) return false;
  }
  // The invalidated names that follow carry no values; they are not read.
  return r >= 0 && sd_bus_message_exit_container(m) >= 0;
}

// Match callback of a properties watch; userdata is the Watch. Runs inside
// sd_bus_process on the thread that processes the connection.
int onPropertiesSignal(sd_bus_message* m, void* userdata, sd_bus_error* /*error*/) {
  if (sd_bus_message_is_signal(m, "org.freedesktop.DBus.Properties", "PropertiesChanged") <= 0) return 0;
  const auto* watch = static_cast<const Connection::Watch*>(userdata);
  const char* path = sd_bus_message_get_path(m);
  try {
    Message change;
    const char* sender = sd_bus_message_get_sender(m);
    change.sender = sender != nullptr ? sender : "";
    change.path = path != nullptr ? path : "";
    change.propertiesChange = true;
    if (!readPropertiesChanged(m, *watch, change)) {
      QV_LOG(3, "Ignoring a malformed PropertiesChanged signal on %s", change.path.c_str());
      return 0;
    }
    if (!change.values.empty()) watch->inbox->push_back(std::move(change));
  } catch (const std::bad_alloc&) {
    QV_LOG(3, "Dropping a PropertiesChanged signal on %s: out of memory", path != nullptr ? path : "");
  }
  return 0;
}

}  // namespace

bool Connection::addPropertiesMatch(const std::string& path, const std::string& interface,
                                    const std::map<std::string, PropertyKind>& kinds, std::string& error) {
  if (sd_bus_object_path_is_valid(path.c_str()) <= 0 || sd_bus_interface_name_is_valid(interface.c_str()) <= 0) {
    error = "not a valid object path or interface: " + path + " " + interface;
    return false;
  }
  auto watch = std::unique_ptr<Watch>(new (std::nothrow) Watch);
  if (!watch) {
    error = "out of memory";
    return false;
  }
  watch->inbox = &mInbox;
  watch->interface = interface;
  watch->kinds = kinds;
  // Valid paths and interface names hold no quote, so they stand in the
  // rule as they are.
  const std::string rule =
      "type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',path='" + path +
      "',arg0='" + interface + "'";
  int r = sd_bus_add_match(mBus.get(), nullptr, rule.c_str(), onPropertiesSignal, watch.get());
  if (r < 0) {
    error = "cannot watch the properties of " + path + " on the bus at " + mAddress + ": " + reason(r);
    return false;
  }
  mWatches.push_back(std::move(watch));
  return true;
}

BusClient::BusClient() = default;
BusClient::~BusClient() = default;

bool BusClient::open(std::string& error) {
  mConnection = Connection::open(error);
  return mConnection != nullptr;
}

int BusClient::hasOwner(const std::string& name, std::string& error) {
  if (!mConnection) {
    error = "not connected";
    return -1;
  }
  return mConnection->nameHasOwner(name, error);
}

bool BusClient::call(const std::string& destination, const std::string& path, const std::string& interface,
                     const std::string& method, const std::vector<Arg>& args, std::string& errorName,
                     std::string& errorMessage) {
  if (!mConnection) {
    errorName.clear();
    errorMessage = "not connected";
    return false;
  }
  return mConnection->callMethod(destination, path, interface, method, args, errorName, errorMessage);
}

bool BusClient::getProperty(const std::string& destination, const std::string& path, const std::string& interface,
                            const std::string& name, PropertyKind kind, PropertyValue& out, std::string& error) {
  if (!mConnection) {
    error = "not connected";
    return false;
  }
  return mConnection->getProperty(destination, path, interface, name, kind, out, error);
}

}  // namespace qvbus
