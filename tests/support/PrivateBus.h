// Test support: a private message bus per fixture, and a recorder of the
// events that pass over it.
//
// PrivateBus starts its own dbus-daemon listening on a unix socket in a
// fresh temporary directory, with a generated configuration that allows
// everything, and points QUORVEL_BUS_ADDRESS at it for this process and the
// processes it starts. Its destructor first shuts the process's event
// service down (so no connection outlives the bus), then stops the daemon,
// removes the directory and restores QUORVEL_BUS_ADDRESS. Extra
// configuration elements (e.g. a <limit>) given to the constructor go into
// the generated configuration, for tests of a bus that refuses something.
//
// EventRecorder is a bus client of its own (an ES_EventMonitor) that records
// every event under a topic prefix; waitFor() hands out matching events one
// at a time.
//
// Threads: create, use and destroy both on the test's main thread. The
// process's delivery thread is stopped by PrivateBus's destructor before the
// daemon goes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/EventService.h"

namespace qvtest {

class PrivateBus {
 public:
  PrivateBus() { start(""); }
  explicit PrivateBus(const std::string& extraConfig) { start(extraConfig); }
  ~PrivateBus() {
    ES_EventSubscriber::shutdown();
    stopDaemon();
    if (!mDir.empty()) {
      std::remove((mDir + "/bus").c_str());
      std::remove((mDir + "/bus.conf").c_str());
      std::remove((mDir + "/daemon.log").c_str());
      ::rmdir(mDir.c_str());
    }
    if (mHadPrevious) {
      setenv("QUORVEL_BUS_ADDRESS", mPrevious.c_str(), 1);
    } else if (mEnvSet) {
      unsetenv("QUORVEL_BUS_ADDRESS");
    }
  }
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  bool ok() const { return !mAddress.empty(); }
  const std::string& error() const { return mError; }
  const std::string& address() const { return mAddress; }

  // Stops the daemon now (to test a lost bus); the environment and the
  // process's connections are left as they are.
  void stopDaemon() {
    if (mPid <= 0) return;
    ::kill(mPid, SIGTERM);
    // A daemon that ignores the request is killed after a while, so a test
    // never hangs here.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int status = 0;
    for (;;) {
      pid_t r = ::waitpid(mPid, &status, WNOHANG);
      if (r == mPid || (r < 0 && errno != EINTR)) break;
      if (std::chrono::steady_clock::now() >= deadline) {
        ::kill(mPid, SIGKILL);
        while (::waitpid(mPid, &status, 0) < 0 && errno == EINTR) {
        }
        break;
      }
      ::usleep(1000);
    }
    mPid = -1;
  }

 private:
  void start(const std::string& extraConfig) {
    char dirTemplate[] = "/tmp/qvbus-XXXXXX";
    if (::mkdtemp(dirTemplate) == nullptr) {
      mError = std::string("mkdtemp: ") + std::strerror(errno);
      return;
    }
    mDir = dirTemplate;
    const std::string config = mDir + "/bus.conf";
    {
      std::ofstream out(config);
      out << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
             " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
             "<busconfig>\n"
             "  <type>session</type>\n"
             "  <listen>unix:path="
          << mDir
          << "/bus</listen>\n"
             "  <auth>EXTERNAL</auth>\n"
             "  <policy context=\"default\">\n"
             "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
             "    <allow eavesdrop=\"true\"/>\n"
             "    <allow own=\"*\"/>\n"
             "  </policy>\n"
          << extraConfig << "</busconfig>\n";
      if (!out) {
        mError = "cannot write " + config;
        return;
      }
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      mError = std::string("pipe2: ") + std::strerror(errno);
      return;
    }
    // Everything the child needs is prepared before fork: after it, only
    // async-signal-safe calls.
    const std::string configArg = "--config-file=" + config;
    const std::string logPath = mDir + "/daemon.log";
    const char* argv[] = {"dbus-daemon", configArg.c_str(), "--nofork", "--nopidfile", "--print-address=3",
                          nullptr};
    pid_t pid = ::fork();
    if (pid < 0) {
      mError = std::string("fork: ") + std::strerror(errno);
      ::close(fds[0]);
      ::close(fds[1]);
      return;
    }
    if (pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // no daemon outlives a crashed test
      // The test may have blocked the stop signals; the daemon must obey them.
      ::signal(SIGTERM, SIG_DFL);
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      // The daemon's own complaints go to a file, shown only when it fails.
      int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      if (log >= 0) ::dup2(log, STDERR_FILENO);
      if (fds[1] == 3) {
        ::fcntl(3, F_SETFD, 0);
      } else if (::dup2(fds[1], 3) < 0) {
        ::_exit(126);
      }
      ::execvp(argv[0], const_cast<char* const*>(argv));
      static const char kNoDaemon[] = "cannot run dbus-daemon\n";
      ssize_t ignored = ::write(STDERR_FILENO, kNoDaemon, sizeof kNoDaemon - 1);
      (void)ignored;
      ::_exit(127);
    }
    mPid = pid;
    ::close(fds[1]);
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (line.find('\n') == std::string::npos) {
      long left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      struct pollfd pfd = {fds[0], POLLIN, 0};
      if (left <= 0 || ::poll(&pfd, 1, static_cast<int>(left)) <= 0) break;
      char buf[256];
      ssize_t n = ::read(fds[0], buf, sizeof buf);
      if (n <= 0) break;
      line.append(buf, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    std::string::size_type nl = line.find('\n');
    if (nl == std::string::npos || nl == 0) {
      stopDaemon();
      std::ifstream log(logPath);
      std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
      mError = "dbus-daemon did not report its address: " + text;
      return;
    }
    mAddress = line.substr(0, nl);
    if (const char* previous = std::getenv("QUORVEL_BUS_ADDRESS")) {
      mHadPrevious = true;
      mPrevious = previous;
    }
    setenv("QUORVEL_BUS_ADDRESS", mAddress.c_str(), 1);
    mEnvSet = true;
  }

  std::string mDir;
  std::string mAddress;
  std::string mError;
  std::string mPrevious;
  bool mHadPrevious = false;
  bool mEnvSet = false;
  pid_t mPid = -1;
};

class EventRecorder {
 public:
  using Predicate = std::function<bool(const ES_EventRecord&)>;

  // Watches every event on topicPrefix and below it, from now on.
  explicit EventRecorder(const std::string& topicPrefix = "/kestrova/quorvel") {
    mOpen = mMonitor.open(topicPrefix, mError);
  }

  bool ok() const { return mOpen; }
  const std::string& error() const { return mError; }

  // The oldest recorded event on topic (and accepted by match, when given)
  // that was not handed out before, waiting up to timeoutMillis for it.
  std::optional<ES_EventRecord> waitFor(const std::string& topic, long timeoutMillis = 10000,
                                        const Predicate& match = nullptr) {
    auto fits = [&](const Entry& e) { return !e.taken && e.event.topic == topic && (!match || match(e.event)); };
    for (Entry& e : mLog) {
      if (fits(e)) {
        e.taken = true;
        return e.event;
      }
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMillis);
    for (;;) {
      long left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left < 0 || !readOne(left)) return std::nullopt;
      if (fits(mLog.back())) {
        mLog.back().taken = true;
        return mLog.back().event;
      }
    }
  }

  // Every event recorded so far, handed out or not, in arrival order, after
  // reading what arrives within settleMillis.
  std::vector<ES_EventRecord> events(long settleMillis = 0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(settleMillis);
    for (;;) {
      long left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (!readOne(left < 0 ? 0 : left)) break;
    }
    std::vector<ES_EventRecord> all;
    for (const Entry& e : mLog) all.push_back(e.event);
    return all;
  }

 private:
  struct Entry {
    ES_EventRecord event;
    bool taken;
  };

  bool readOne(long timeoutMillis) {
    if (!mOpen) return false;
    ES_EventRecord event;
    int r = mMonitor.next(event, timeoutMillis, mError);
    if (r < 0) mOpen = false;
    if (r <= 0) return false;
    mLog.push_back(Entry{std::move(event), false});
    return true;
  }

  ES_EventMonitor mMonitor;
  std::vector<Entry> mLog;
  std::string mError;
  bool mOpen = false;
};

}  // namespace qvtest
