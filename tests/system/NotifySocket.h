// Test support: the service manager's end of the notification protocol. A
// datagram socket bound in a test directory; a daemon started with
// NOTIFY_SOCKET set to path() sends its READY=1 / STOPPING=1 lines here.
// Header-only.
//
// Threads: one object on the test's main thread.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

namespace qvtest {

class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : mPath(path) {
    mFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    if (mFd < 0 || path.size() >= sizeof addr.sun_path) return;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ::unlink(path.c_str());
    mBound = ::bind(mFd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~NotifySocket() {
    if (mFd >= 0) ::close(mFd);
    ::unlink(mPath.c_str());
  }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  bool ok() const { return mBound; }
  const std::string& path() const { return mPath; }

  // Waits until a notification holding the line `line` arrives, keeping
  // everything received. True when it has (also when it came earlier and was
  // not asked for yet).
  bool waitFor(const std::string& line, long timeoutMillis = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMillis);
    for (;;) {
      std::string::size_type at = findLine(line);
      if (at != std::string::npos) {
        mConsumed = at + line.size();
        return true;
      }
      long left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) return false;
      struct pollfd p = {mFd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buf[4096];
      ssize_t n = ::recv(mFd, buf, sizeof buf, 0);
      if (n > 0) mReceived.append(buf, static_cast<size_t>(n)).push_back('\n');
    }
  }

  // Everything received so far, one datagram after the other.
  const std::string& received() const { return mReceived; }

 private:
  std::string::size_type findLine(const std::string& line) const {
    for (std::string::size_type at = mReceived.find(line, mConsumed); at != std::string::npos;
         at = mReceived.find(line, at + 1)) {
      bool starts = at == 0 || mReceived[at - 1] == '\n';
      bool ends = at + line.size() == mReceived.size() || mReceived[at + line.size()] == '\n';
      if (starts && ends) return at;
    }
    return std::string::npos;
  }

  std::string mPath;
  int mFd = -1;
  bool mBound = false;
  std::string mReceived;
  std::string::size_type mConsumed = 0;
};

}  // namespace qvtest
