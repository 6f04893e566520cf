#include "Bus.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
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
    error = "cannot ask the bus at " + mAddress + " about " + name + ": " +
            (sd_bus_error_is_set(&callError.error) ? std::string(callError.error.message != nullptr
                                                                      ? callError.error.message
                                                                      : callError.error.name)
                                                   : reason(r));
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

}  // namespace qvbus
