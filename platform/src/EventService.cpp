#include "platform/EventService.h"

#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "Bus.h"
#include "BusPublish.h"
#include "platform/Log.h"

namespace {

// An owned file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  ~UniqueFd() { reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return mFd; }
  void reset(int fd = -1) {
    if (mFd >= 0) ::close(mFd);
    mFd = fd;
  }

 private:
  int mFd = -1;
};

sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

// poll() with a timeout in milliseconds (< 0: no limit); EINTR counts as
// "nothing happened".
int pollFor(struct pollfd* fds, nfds_t count, long timeoutMillis) {
  int timeout = timeoutMillis < 0 ? -1 : (timeoutMillis > INT_MAX ? INT_MAX : static_cast<int>(timeoutMillis));
  int r = ::poll(fds, count, timeout);
  if (r < 0 && errno == EINTR) return 0;
  return r;
}

// Set on the delivery thread, so that calls it must not make are refused.
thread_local bool tOnDeliveryThread = false;
// Set while the delivery thread processes the receiving connection under
// the receive lock: a service handler called from there that announces
// changed properties uses the connection without taking the lock again.
thread_local bool tInsideProcess = false;

// Decides whether an event's sender may drive this process: root, this
// process's own effective user, or a member of the trusted group. The bus is
// asked once per sender (unique names are never reused on a bus); a sender
// that has already disconnected cannot be vouched for and counts as
// untrusted.
//
// Threads: the delivery thread only (under the receive lock).
class SenderTrust {
 public:
  // True when the event may be delivered; otherwise one line is logged.
  bool allows(qvbus::Connection& bus, const qvbus::Message& event) {
    if (event.sender.empty()) {
      QV_LOG(3, "Dropping the event %s: the bus did not say who sent it", event.path.c_str());
      return false;
    }
    auto known = mVerdicts.find(event.sender);
    if (known == mVerdicts.end()) {
      Verdict v = judge(bus, event.sender);
      if (!v.definite) {
        QV_LOG(3, "Dropping the event %s from %s: %s", event.path.c_str(), event.sender.c_str(), v.reason.c_str());
        return false;
      }
      // A long-lived service meets many short-lived senders: the memo is
      // bounded by starting over.
      if (mVerdicts.size() >= kMaxVerdicts) mVerdicts.clear();
      known = mVerdicts.emplace(event.sender, v).first;
    }
    if (!known->second.trusted) {
      QV_LOG(3, "Dropping the event %s from %s: %s", event.path.c_str(), event.sender.c_str(),
             known->second.reason.c_str());
    }
    return known->second.trusted;
  }

  // A method caller waits for the answer, so it is always still on the bus.
  bool allowsCaller(qvbus::Connection& bus, const std::string& sender, std::string& reason) {
    auto known = mVerdicts.find(sender);
    if (known == mVerdicts.end()) {
      Verdict v = judge(bus, sender);
      if (!v.definite) {
        reason = "who is calling cannot be checked: " + v.reason;
        return false;
      }
      if (mVerdicts.size() >= kMaxVerdicts) mVerdicts.clear();
      known = mVerdicts.emplace(sender, v).first;
    }
    reason = known->second.reason;
    return known->second.trusted;
  }

  static bool gate(void* self, qvbus::Connection& bus, const std::string& sender, std::string& reason) {
    return static_cast<SenderTrust*>(self)->allowsCaller(bus, sender, reason);
  }

  // A new bus: its names are new too.
  void forget() { mVerdicts.clear(); }

 private:
  static constexpr size_t kMaxVerdicts = 512;

  struct Verdict {
    bool trusted = false;
    bool definite = false;  // false: asking the bus failed; ask again next time
    std::string reason;
  };

  Verdict judge(qvbus::Connection& bus, const std::string& sender) {
    Verdict v;
    qvbus::Connection::PeerCredentials creds;
    std::string error;
    int r = bus.peerCredentials(sender, creds, error);
    if (r < 0) {
      v.reason = error;
      return v;
    }
    v.definite = true;
    if (r == 0) {
      v.reason = "the sender has left the bus, so who sent it cannot be checked";
      return v;
    }
    resolveGroup();
    if (creds.uid == 0 || creds.uid == ::geteuid()) {
      v.trusted = true;
      return v;
    }
    if (mHaveGroup) {
      std::vector<gid_t> groups = creds.haveGroups ? creds.groups : groupsOfUser(creds.uid);
      for (gid_t g : groups) v.trusted = v.trusted || g == mGroup;
    }
    if (!v.trusted) {
      v.reason = "its user (uid " + std::to_string(creds.uid) +
                 ") is neither root, nor this service's user, nor in the group " + mGroupName;
    }
    return v;
  }

  void resolveGroup() {
    if (mGroupResolved) return;
    mGroupResolved = true;
    const char* env = std::getenv("QUORVEL_TRUSTED_GROUP");
    mGroupName = env != nullptr && *env != '\0' ? env : "quorvel";
    std::vector<char> buf(16384);
    struct group entry;
    struct group* found = nullptr;
    if (getgrnam_r(mGroupName.c_str(), &entry, buf.data(), buf.size(), &found) == 0 && found != nullptr) {
      mGroup = found->gr_gid;
      mHaveGroup = true;
    } else {
      QV_LOG(3, "The trusted group %s does not exist: only root and this service's user may send events",
             mGroupName.c_str());
    }
  }

  // The user's groups from the user database (primary group included), for
  // a bus that does not report them.
  static std::vector<gid_t> groupsOfUser(uid_t uid) {
    std::vector<gid_t> out;
    std::vector<char> buf(16384);
    struct passwd entry;
    struct passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buf.data(), buf.size(), &found) != 0 || found == nullptr) return out;
    int count = 32;
    for (int attempt = 0; attempt < 4; ++attempt) {
      out.assign(static_cast<size_t>(count), 0);
      int n = count;
      if (getgrouplist(found->pw_name, found->pw_gid, out.data(), &n) >= 0) {
        out.resize(static_cast<size_t>(n));
        return out;
      }
      count = n > count ? n : count * 2;
    }
    out.assign(1, found->pw_gid);
    return out;
  }

  std::map<std::string, Verdict> mVerdicts;
  bool mGroupResolved = false;
  bool mHaveGroup = false;
  gid_t mGroup = 0;
  std::string mGroupName;
};

// The process's event service: one receiving connection processed by the
// delivery thread, one sending connection shared under a lock, and the
// watch on the stop signals.
//
// Locks, taken in this order and never the other way round:
//   mLifecycleLock: connect, subscribe, setStopHandler, shutdown. Never
//                   taken by the delivery thread, so shutdown may join it
//                   while holding the lock.
//   mRecvLock:      mRecv and mRecvFailed. The delivery thread holds it
//                   while it processes, never while it polls or calls out.
//   mSendLock:      mSend.
//   mStateLock:     mHandlers, mWatchers, the stop handler, mThreadEnded.
// mWake and mSignalFd are replaced only while the delivery thread is not
// running (under mLifecycleLock), so it reads them without a lock.
class EventService {
 public:
  static EventService& get() {
    // Never destroyed: the delivery thread may still run while the process
    // exits, and a joinable std::thread must not be destroyed.
    static EventService* service = new EventService;
    return *service;
  }

  bool connect(std::string& error) {
    std::lock_guard<std::mutex> lifecycle(mLifecycleLock);
    return connectLocked(error);
  }

  int subscribe(const char* topic, ES_EventHandler* handler) {
    if (topic == nullptr || handler == nullptr) {
      QV_LOG(3, "Cannot subscribe: %s", topic == nullptr ? "no topic" : "no handler");
      return -1;
    }
    std::lock_guard<std::mutex> lifecycle(mLifecycleLock);
    std::string error;
    if (!connectLocked(error)) {
      QV_LOG(3, "Cannot subscribe to %s: %s", topic, error.c_str());
      return -1;
    }
    bool known;
    {
      std::lock_guard<std::mutex> guard(mStateLock);
      known = mHandlers.count(topic) != 0;
    }
    if (!known) {
      bool added;
      {
        std::lock_guard<std::mutex> guard(mRecvLock);
        added = mRecv->addMatch(topic, false, error);
      }
      // The match call may have read signals into the connection's queue
      // behind the delivery thread's back: let it look again.
      wake();
      if (!added) {
        QV_LOG(3, "Cannot subscribe to %s: %s", topic, error.c_str());
        return -1;
      }
    }
    {
      std::lock_guard<std::mutex> guard(mStateLock);
      std::vector<ES_EventHandler*>& list = mHandlers[topic];
      bool present = false;
      for (ES_EventHandler* h : list) present = present || h == handler;
      if (!present) list.push_back(handler);
    }
    if (!ensureThreadLocked(error)) {
      QV_LOG(3, "Cannot subscribe to %s: %s", topic, error.c_str());
      return -1;
    }
    return 0;
  }

  int watchProperties(const std::string& path, const std::string& interface,
                      const std::map<std::string, qvbus::PropertyKind>& kinds, ES_PropertiesHandler* handler) {
    if (handler == nullptr) {
      QV_LOG(3, "Cannot watch the properties of %s: no handler", path.c_str());
      return -1;
    }
    std::lock_guard<std::mutex> lifecycle(mLifecycleLock);
    std::string error;
    if (!connectLocked(error)) {
      QV_LOG(3, "Cannot watch the properties of %s: %s", path.c_str(), error.c_str());
      return -1;
    }
    bool added;
    {
      std::lock_guard<std::mutex> guard(mRecvLock);
      added = mRecv->addPropertiesMatch(path, interface, kinds, error);
    }
    wake();  // as for subscribe: the match call may have read signals
    if (!added) {
      QV_LOG(3, "Cannot watch the properties of %s: %s", path.c_str(), error.c_str());
      return -1;
    }
    {
      std::lock_guard<std::mutex> guard(mStateLock);
      mWatchers.push_back({path, interface, handler});
    }
    if (!ensureThreadLocked(error)) {
      QV_LOG(3, "Cannot watch the properties of %s: %s", path.c_str(), error.c_str());
      return -1;
    }
    return 0;
  }

  void setStopHandler(void (*handler)(void*), void* context) {
    std::lock_guard<std::mutex> lifecycle(mLifecycleLock);
    std::string error;
    if (handler != nullptr && mSignalFd.get() < 0) {
      if (mThread.joinable()) stopDeliveryLocked();  // it must see the new descriptor
      sigset_t set = stopSignals();
      int fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
      if (fd < 0) {
        QV_LOG(3, "Cannot watch the stop signals: %s", std::strerror(errno));
        return;
      }
      mSignalFd.reset(fd);
    }
    {
      std::lock_guard<std::mutex> guard(mStateLock);
      mStopHandler = handler;
      mStopContext = context;
    }
    if (handler == nullptr) return;
    if (!ensureWakeLocked(error) || !ensureThreadLocked(error)) {
      QV_LOG(3, "Cannot watch the stop signals: %s", error.c_str());
    }
  }

  void shutdown() {
    if (tOnDeliveryThread) {
      QV_LOG(3, "Event service shutdown called from the delivery thread; ignored");
      return;
    }
    std::lock_guard<std::mutex> lifecycle(mLifecycleLock);
    lingerAfterSend();
    stopDeliveryLocked();
    {
      std::lock_guard<std::mutex> guard(mRecvLock);
      mRecv.reset();
      mRecvFailed = false;
      mTrust.forget();
    }
    {
      std::lock_guard<std::mutex> guard(mSendLock);
      mSend.reset();
    }
    {
      std::lock_guard<std::mutex> guard(mStateLock);
      mHandlers.clear();
      mWatchers.clear();
      mStopHandler = nullptr;
      mStopContext = nullptr;
    }
    mWake.reset();
    mSignalFd.reset();
  }

  int publish(const std::string& topic, const std::map<std::string, std::string>& properties,
              const std::string& payload) {
    std::lock_guard<std::mutex> guard(mSendLock);
    std::string error;
    bool sent = false;
    // A second try covers a connection that the bus dropped since the last
    // event (a restarted bus): the first send finds that out.
    for (int attempt = 0; attempt < 2 && !sent; ++attempt) {
      if (!mSend || !mSend->isOpen()) {
        mSend = qvbus::Connection::open(error);
        if (!mSend) break;
      }
      sent = mSend->emit(topic, properties, payload, error);
      if (!sent && mSend->isOpen()) break;  // not a connection problem
    }
    if (!sent) {
      QV_LOG(3, "Unable to publish the event %s: %s", topic.c_str(), error.c_str());
      return -1;
    }
    mLastSend = std::chrono::steady_clock::now();
    mSentAny = true;
    return 0;
  }

  void setSendGrace(long millis) {
    std::lock_guard<std::mutex> guard(mSendLock);
    mSendGraceMillis = millis < 0 ? 0 : millis;
  }

  int exportService(const qvbus::ServiceSpec& spec, qvbus::ServiceHandler* handler, std::string& error) {
    if (handler == nullptr) {
      error = "no handler";
      return -1;
    }
    std::lock_guard<std::mutex> lifecycle(mLifecycleLock);
    if (!connectLocked(error)) return -1;
    int r;
    {
      std::lock_guard<std::mutex> guard(mRecvLock);
      // The object is in place before the name appears, so a caller that
      // waits for the name finds the methods.
      r = mRecv->exportObject(spec, handler, &SenderTrust::gate, &mTrust, error) ? 1 : -1;
      if (r > 0) r = mRecv->requestName(spec.busName, error);
    }
    wake();  // the calls may have read messages behind the delivery thread's back
    return r;
  }

  void propertiesChanged(const std::string& path, const std::string& interface,
                         const std::vector<std::string>& names) {
    std::string error;
    bool ok = true;
    if (tInsideProcess) {
      // The delivery thread, inside a handler: it holds the receive lock.
      ok = mRecv && mRecv->emitPropertiesChanged(path, interface, names, error);
    } else {
      std::lock_guard<std::mutex> guard(mRecvLock);
      if (!mRecv || mRecvFailed) return;
      ok = mRecv->emitPropertiesChanged(path, interface, names, error);
    }
    if (!ok) QV_LOG(3, "%s", error.c_str());
    wake();
  }

 private:
  EventService() = default;

  // Opens what is not open yet. A receiving connection that the bus has
  // dropped is replaced; its subscriptions are gone with it.
  bool connectLocked(std::string& error) {
    if (!ensureWakeLocked(error)) return false;
    {
      std::lock_guard<std::mutex> guard(mRecvLock);
      if (mRecv && (mRecvFailed || !mRecv->isOpen())) {
        mRecv.reset();
        mRecvFailed = false;
        mTrust.forget();
        std::lock_guard<std::mutex> state(mStateLock);
        mHandlers.clear();
        mWatchers.clear();
      }
      if (!mRecv) {
        mRecv = qvbus::Connection::open(error);
        if (!mRecv) return false;
      }
    }
    wake();  // a running delivery thread takes up the new connection
    std::lock_guard<std::mutex> guard(mSendLock);
    if (!mSend || !mSend->isOpen()) {
      mSend = qvbus::Connection::open(error);
      if (!mSend) return false;
    }
    return true;
  }

  // Receivers ask the bus who sent an event while the sender is still
  // connected; a process that has just published stays connected for the
  // grace period before it closes.
  void lingerAfterSend() {
    std::chrono::steady_clock::time_point until;
    {
      std::lock_guard<std::mutex> guard(mSendLock);
      if (!mSentAny || mSendGraceMillis <= 0 || !mSend) return;
      until = mLastSend + std::chrono::milliseconds(mSendGraceMillis);
    }
    std::this_thread::sleep_until(until);
  }

  bool ensureWakeLocked(std::string& error) {
    if (mWake.get() >= 0) return true;
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
      error = std::string("cannot create the event service's wake-up descriptor: ") + std::strerror(errno);
      return false;
    }
    mWake.reset(fd);
    return true;
  }

  // Starts the delivery thread unless it runs; one that ended on its own is
  // joined first.
  bool ensureThreadLocked(std::string& error) {
    bool ended;
    {
      std::lock_guard<std::mutex> guard(mStateLock);
      ended = mThreadEnded;
    }
    if (mThread.joinable() && !ended) {
      wake();
      return true;
    }
    if (mThread.joinable()) mThread.join();
    {
      std::lock_guard<std::mutex> guard(mStateLock);
      mThreadEnded = false;
    }
    try {
      mThread = std::thread([this] { deliveryLoop(); });
    } catch (const std::system_error& e) {
      error = std::string("cannot start the event delivery thread: ") + e.what();
      return false;
    }
    return true;
  }

  void wake() {
    if (mWake.get() < 0) return;
    uint64_t one = 1;
    // A full counter already means "wake up", so a failed write is harmless.
    ssize_t written = ::write(mWake.get(), &one, sizeof one);
    (void)written;
  }

  void stopDeliveryLocked() {
    if (!mThread.joinable() || tOnDeliveryThread) return;
    mStop.store(true);
    wake();
    mThread.join();
    mStop.store(false);
    std::lock_guard<std::mutex> guard(mStateLock);
    mThreadEnded = false;
  }

  void dispatch(const qvbus::Message& event) {
    if (event.propertiesChange) {
      std::vector<ES_PropertiesHandler*> watchers;
      {
        std::lock_guard<std::mutex> guard(mStateLock);
        for (const Watcher& w : mWatchers) {
          if (w.path == event.path && w.interface == event.interface) watchers.push_back(w.handler);
        }
      }
      for (ES_PropertiesHandler* h : watchers) h->onPropertiesChanged(event.path, event.interface, event.values);
      return;
    }
    std::vector<ES_EventHandler*> handlers;
    {
      std::lock_guard<std::mutex> guard(mStateLock);
      auto it = mHandlers.find(event.path);
      if (it == mHandlers.end()) return;
      handlers = it->second;
    }
    const char* begin = event.payload.data();
    ES_Event view(event.path.c_str(), begin, begin + event.payload.size(), event.properties);
    for (ES_EventHandler* h : handlers) h->onEvent(view);
  }

  void readStopSignals() {
    struct signalfd_siginfo info;
    while (::read(mSignalFd.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      void (*handler)(void*);
      void* context;
      {
        std::lock_guard<std::mutex> guard(mStateLock);
        handler = mStopHandler;
        context = mStopContext;
      }
      QV_LOG(3, "Received stop signal %d", static_cast<int>(info.ssi_signo));
      if (handler != nullptr) handler(context);
    }
  }

  void deliveryLoop() {
    tOnDeliveryThread = true;
    std::vector<qvbus::Message> batch;
    std::string error;
    while (!mStop.load()) {
      qvbus::Connection::WaitSpec spec;
      bool haveBus = false;
      int r = 0;
      {
        std::lock_guard<std::mutex> guard(mRecvLock);
        if (mRecv && !mRecvFailed) {
          tInsideProcess = true;
          r = mRecv->process(batch, error);
          tInsideProcess = false;
          if (!batch.empty()) {
            // Asking the bus about a sender may read further events into
            // the connection's queue: look again before waiting.
            batch.erase(std::remove_if(batch.begin(), batch.end(),
                                       [this](const qvbus::Message& m) { return !mTrust.allows(*mRecv, m); }),
                        batch.end());
            if (r == 0) r = 1;
          }
          if (r == 0 && !mRecv->prepareWait(spec, error)) r = -1;
          mRecvFailed = r < 0;
          haveBus = r >= 0;
        }
      }
      for (const qvbus::Message& event : batch) {
        if (mStop.load()) break;
        dispatch(event);
      }
      batch.clear();
      if (r < 0 && !mStop.load()) QV_LOG(3, "Event delivery stopped: %s", error.c_str());
      if (r > 0) continue;
      {
        // Without a bus and without a stop handler there is nothing to wait
        // for: end rather than idle.
        std::lock_guard<std::mutex> guard(mStateLock);
        if (!haveBus && mStopHandler == nullptr) {
          mThreadEnded = true;
          return;
        }
      }
      struct pollfd fds[3];
      nfds_t count = 0;
      fds[count++] = {mWake.get(), POLLIN, 0};
      const nfds_t signalIndex = count;
      if (mSignalFd.get() >= 0) fds[count++] = {mSignalFd.get(), POLLIN, 0};
      if (haveBus) fds[count++] = {spec.fd, spec.events, 0};
      if (pollFor(fds, count, haveBus ? spec.timeoutMillis : -1) < 0) {
        QV_LOG(3, "Event delivery stopped: waiting for the bus failed: %s", std::strerror(errno));
        std::lock_guard<std::mutex> guard(mStateLock);
        mThreadEnded = true;
        return;
      }
      uint64_t count64;
      ssize_t got = ::read(mWake.get(), &count64, sizeof count64);  // resets the wake-up counter
      (void)got;
      if (signalIndex < count && mSignalFd.get() >= 0 && (fds[signalIndex].revents & POLLIN) != 0) readStopSignals();
    }
  }

  std::mutex mLifecycleLock;
  std::mutex mRecvLock;
  std::mutex mSendLock;
  std::mutex mStateLock;
  std::unique_ptr<qvbus::Connection> mRecv;
  bool mRecvFailed = false;  // the delivery thread found mRecv broken
  SenderTrust mTrust;         // under mRecvLock
  std::unique_ptr<qvbus::Connection> mSend;
  std::chrono::steady_clock::time_point mLastSend;  // under mSendLock
  bool mSentAny = false;                            // under mSendLock
  long mSendGraceMillis = 0;                        // under mSendLock
  std::map<std::string, std::vector<ES_EventHandler*>> mHandlers;
  struct Watcher {
    std::string path;
    std::string interface;
    ES_PropertiesHandler* handler;
  };
  std::vector<Watcher> mWatchers;
  void (*mStopHandler)(void*) = nullptr;
  void* mStopContext = nullptr;
  std::thread mThread;
  bool mThreadEnded = false;  // the delivery thread returned on its own
  std::atomic<bool> mStop{false};
  UniqueFd mWake;      // eventfd: wakes the delivery thread
  UniqueFd mSignalFd;  // signalfd of the stop signals, when watched
};

}  // namespace

bool ES_EventSubscriber::connect(std::string& error) { return EventService::get().connect(error); }

int ES_EventSubscriber::subscribe(const char* topic, bool /*reserved1*/, ES_EventHandler* handler,
                                  const std::string& /*reserved2*/, const std::string& /*reserved3*/,
                                  const std::string& /*reserved4*/, bool /*reserved5*/) {
  return EventService::get().subscribe(topic, handler);
}

void ES_EventSubscriber::shutdown() { EventService::get().shutdown(); }

void ES_EventSubscriber::setSendGrace(long millis) { EventService::get().setSendGrace(millis); }

void ES_EventSubscriber::blockStopSignals() {
  sigset_t set = stopSignals();
  int r = pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (r != 0) QV_LOG(3, "Cannot block the stop signals: %s", std::strerror(r));
}

void ES_EventSubscriber::setStopHandler(void (*handler)(void* context), void* context) {
  EventService::get().setStopHandler(handler, context);
}

int ES_EventSubscriber::exportService(const qvbus::ServiceSpec& spec, qvbus::ServiceHandler* handler,
                                      std::string& error) {
  return EventService::get().exportService(spec, handler, error);
}

int ES_EventSubscriber::watchProperties(const std::string& path, const std::string& interface,
                                        const std::map<std::string, qvbus::PropertyKind>& kinds,
                                        ES_PropertiesHandler* handler) {
  return EventService::get().watchProperties(path, interface, kinds, handler);
}

void ES_EventSubscriber::propertiesChanged(const std::string& path, const std::string& interface,
                                           const std::vector<std::string>& names) {
  EventService::get().propertiesChanged(path, interface, names);
}

namespace qvbus {

int publishEvent(const std::string& topic, const std::map<std::string, std::string>& properties,
                 const std::string& payload) {
  return EventService::get().publish(topic, properties, payload);
}

}  // namespace qvbus

ES_EventMonitor::ES_EventMonitor() = default;
ES_EventMonitor::~ES_EventMonitor() = default;

bool ES_EventMonitor::open(const std::string& topicPrefix, std::string& error) {
  mPending.clear();
  mConnection = qvbus::Connection::open(error);
  if (!mConnection) return false;
  if (!mConnection->addMatch(topicPrefix, true, error)) {
    mConnection.reset();
    return false;
  }
  return true;
}

int ES_EventMonitor::next(ES_EventRecord& out, long timeoutMillis, std::string& error) {
  if (!mConnection) {
    error = "the event monitor is not open";
    return -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMillis < 0 ? 0 : timeoutMillis);
  std::vector<qvbus::Message> batch;
  for (;;) {
    if (!mPending.empty()) {
      out = std::move(mPending.front());
      mPending.pop_front();
      return 1;
    }
    int r = mConnection->process(batch, error);
    for (qvbus::Message& m : batch) {
      mPending.push_back(ES_EventRecord{std::move(m.path), std::move(m.properties), std::move(m.payload)});
    }
    batch.clear();
    if (!mPending.empty()) continue;
    if (r < 0) return -1;
    if (r > 0) continue;
    long left = -1;
    if (timeoutMillis >= 0) {
      auto now = std::chrono::steady_clock::now();
      if (now >= deadline) return 0;
      left = static_cast<long>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
    }
    qvbus::Connection::WaitSpec spec;
    if (!mConnection->prepareWait(spec, error)) return -1;
    if (spec.timeoutMillis >= 0 && (left < 0 || spec.timeoutMillis < left)) left = spec.timeoutMillis;
    struct pollfd fd = {spec.fd, spec.events, 0};
    if (pollFor(&fd, 1, left) < 0) {
      error = std::string("waiting for the bus failed: ") + std::strerror(errno);
      return -1;
    }
  }
}
