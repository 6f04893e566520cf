// A small HTTP/1.1 server on 127.0.0.1 (a free port) for tests, header-only.
//
// One thread serves one connection at a time, one request per connection,
// with answers scripted per request target: status, headers, body, a delay
// before the status line, a slow drip of the body, a close after N body
// bytes, redirects, or raw bytes sent as they are (for broken answers).
// Every request is recorded (request line, headers in order, body, chunked
// bodies decoded), so a test can assert on exactly what a client sent.
//
// Forward proxy: a request in absolute form ("GET http://host/x HTTP/1.1")
// is answered from the script of its full URL, or else of its path; the
// recorded target shows the absolute form.
//
// Threads: the test thread configures and inspects; all methods are
// locked against the serving thread. The destructor, or the client closing
// its end, stops a delay or a drip in progress at once.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace qvtest {

class MiniHttpServer {
 public:
  struct Response {
    int status = 200;
    std::string reason = "OK";
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    bool contentLength = true;       // add Content-Length (unless a header gives one)
    int delayMs = 0;                 // pause before the status line
    std::size_t dripBytes = 0;       // > 0: send the body in pieces of this size...
    int dripIntervalMs = 0;          // ...with this pause after each piece
    long long closeAfterBytes = -1;  // >= 0: close after this many body bytes
    std::string raw;                 // non-empty: sent verbatim instead of all of the above

    static Response make(int status, std::string body,
                         std::vector<std::pair<std::string, std::string>> headers = {}) {
      Response r;
      r.status = status;
      r.body = std::move(body);
      r.headers = std::move(headers);
      return r;
    }
    static Response rawBytes(std::string bytes) {
      Response r;
      r.raw = std::move(bytes);
      return r;
    }
  };

  struct Request {
    std::string method;
    std::string target;
    std::string version;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    bool chunked = false;

    // Value of the first header of that name (any case); empty when none.
    std::string header(const std::string& name) const {
      for (const auto& h : headers) {
        if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return h.second;
      }
      return std::string();
    }
    bool has(const std::string& name) const {
      for (const auto& h : headers) {
        if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return true;
      }
      return false;
    }
  };

  MiniHttpServer() {
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return;
    mWakeRead = wake[0];
    mWakeWrite = wake[1];
    mListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (mListen < 0) return;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(mListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(mListen, 16) != 0 ||
        ::getsockname(mListen, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      return;
    }
    mPort = ntohs(addr.sin_port);
    mThread = std::thread([this] { serve(); });
  }

  ~MiniHttpServer() {
    mStop.store(true);
    if (mWakeWrite >= 0) {
      char c = 1;
      ssize_t ignored = ::write(mWakeWrite, &c, 1);
      (void)ignored;
    }
    if (mThread.joinable()) mThread.join();
    for (int fd : {mListen, mWakeRead, mWakeWrite}) {
      if (fd >= 0) ::close(fd);
    }
  }

  MiniHttpServer(const MiniHttpServer&) = delete;
  MiniHttpServer& operator=(const MiniHttpServer&) = delete;

  bool ok() const { return mPort != 0; }
  int port() const { return mPort; }
  std::string origin() const { return "http://127.0.0.1:" + std::to_string(mPort); }
  std::string url(const std::string& path) const { return origin() + path; }

  // Scripts the answer for a target: a path (with query), or a full URL.
  void on(const std::string& target, Response response) {
    std::lock_guard<std::mutex> guard(mLock);
    mScript[target] = std::make_shared<const Response>(std::move(response));
  }
  void redirect(const std::string& target, int status, const std::string& location) {
    Response r;
    r.status = status;
    r.reason = "Redirect";
    r.headers = {{"Location", location}};
    on(target, std::move(r));
  }

  std::vector<Request> requests() const {
    std::lock_guard<std::mutex> guard(mLock);
    return mRequests;
  }
  // Body bytes written to clients so far.
  long long bodyBytesSent() const { return mBodySent.load(); }

 private:
  struct Connection {
    int fd;
    std::string buffer;
  };

  // Waits for fd (events) or the stop pipe; false on stop, time-out or error.
  bool waitFor(int fd, short events, int timeoutMs) {
    pollfd fds[2] = {{fd, events, 0}, {mWakeRead, POLLIN, 0}};
    int n = ::poll(fds, 2, timeoutMs);
    if (n <= 0 || mStop.load()) return false;
    return (fds[0].revents & (events | POLLHUP | POLLERR)) != 0;
  }
  // A pause that the destructor, or the client going away, cuts short;
  // false then.
  bool pause(int fd, int ms) {
    pollfd fds[2] = {{mWakeRead, POLLIN, 0}, {fd, POLLRDHUP, 0}};
    ::poll(fds, 2, ms);
    return !mStop.load() && (fds[1].revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0;
  }

  bool fill(Connection& c) {
    if (!waitFor(c.fd, POLLIN, 5000)) return false;
    char chunk[16384];
    ssize_t n = ::recv(c.fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    c.buffer.append(chunk, static_cast<std::size_t>(n));
    return c.buffer.size() < (64u << 20);
  }
  bool readLine(Connection& c, std::string& line) {
    std::size_t end;
    while ((end = c.buffer.find("\r\n")) == std::string::npos) {
      if (!fill(c)) return false;
    }
    line = c.buffer.substr(0, end);
    c.buffer.erase(0, end + 2);
    return true;
  }
  bool readBytes(Connection& c, std::size_t n, std::string& out) {
    while (c.buffer.size() < n) {
      if (!fill(c)) return false;
    }
    out.append(c.buffer, 0, n);
    c.buffer.erase(0, n);
    return true;
  }

  bool sendAll(int fd, const char* data, std::size_t length, bool countsAsBody) {
    std::size_t done = 0;
    while (done < length) {
      ssize_t n = ::send(fd, data + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        if (countsAsBody) mBodySent.fetch_add(n);
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        if (!waitFor(fd, POLLOUT, 10000)) return false;
        continue;
      }
      return false;
    }
    return true;
  }

  bool readRequest(Connection& c, Request& request) {
    std::string line;
    if (!readLine(c, line)) return false;
    std::size_t a = line.find(' ');
    std::size_t b = line.rfind(' ');
    if (a == std::string::npos || b == a) return false;
    request.method = line.substr(0, a);
    request.target = line.substr(a + 1, b - a - 1);
    request.version = line.substr(b + 1);
    for (;;) {
      if (!readLine(c, line)) return false;
      if (line.empty()) break;
      std::size_t colon = line.find(':');
      if (colon == std::string::npos) return false;
      std::size_t v = line.find_first_not_of(' ', colon + 1);
      request.headers.emplace_back(line.substr(0, colon), v == std::string::npos ? "" : line.substr(v));
    }
    if (strcasecmp(request.header("Transfer-Encoding").c_str(), "chunked") == 0) {
      request.chunked = true;
      for (;;) {
        if (!readLine(c, line)) return false;
        std::size_t size = std::strtoul(line.c_str(), nullptr, 16);
        if (size == 0) break;
        std::string crlf;
        if (!readBytes(c, size, request.body) || !readBytes(c, 2, crlf)) return false;
      }
      do {  // trailers
        if (!readLine(c, line)) return false;
      } while (!line.empty());
    } else if (request.has("Content-Length")) {
      std::size_t size = std::strtoul(request.header("Content-Length").c_str(), nullptr, 10);
      if (!readBytes(c, size, request.body)) return false;
    }
    return true;
  }

  std::shared_ptr<const Response> lookup(const std::string& target) {
    std::lock_guard<std::mutex> guard(mLock);
    auto it = mScript.find(target);
    if (it == mScript.end() && target.compare(0, 7, "http://") == 0) {
      std::size_t slash = target.find('/', 7);
      it = mScript.find(slash == std::string::npos ? "/" : target.substr(slash));
    }
    if (it != mScript.end()) return it->second;
    auto missing = std::make_shared<Response>();
    missing->status = 404;
    missing->reason = "Not Found";
    missing->body = "not found";
    return missing;
  }

  void answer(int fd, const Request& request, const Response& r) {
    if (r.delayMs > 0 && !pause(fd, r.delayMs)) return;
    if (!r.raw.empty()) {
      sendAll(fd, r.raw.data(), r.raw.size(), false);
      return;
    }
    std::string head = "HTTP/1.1 " + std::to_string(r.status) + " " + r.reason + "\r\n";
    bool hasLength = false;
    for (const auto& h : r.headers) {
      head += h.first + ": " + h.second + "\r\n";
      hasLength = hasLength || strcasecmp(h.first.c_str(), "Content-Length") == 0;
    }
    if (r.contentLength && !hasLength) head += "Content-Length: " + std::to_string(r.body.size()) + "\r\n";
    head += "\r\n";
    if (!sendAll(fd, head.data(), head.size(), false) || request.method == "HEAD") return;
    std::size_t limit = r.body.size();
    if (r.closeAfterBytes >= 0 && static_cast<std::size_t>(r.closeAfterBytes) < limit) {
      limit = static_cast<std::size_t>(r.closeAfterBytes);
    }
    std::size_t piece = r.dripBytes > 0 ? r.dripBytes : limit;
    for (std::size_t sent = 0; sent < limit;) {
      std::size_t n = std::min(piece, limit - sent);
      if (!sendAll(fd, r.body.data() + sent, n, true)) return;
      sent += n;
      if (r.dripBytes > 0 && r.dripIntervalMs > 0 && !pause(fd, r.dripIntervalMs)) return;
    }
  }

  void serve() {
    while (!mStop.load()) {
      if (!waitFor(mListen, POLLIN, -1)) continue;
      int fd = ::accept4(mListen, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      Connection c{fd, std::string()};
      Request request;
      if (readRequest(c, request)) {
        {
          std::lock_guard<std::mutex> guard(mLock);
          mRequests.push_back(request);
        }
        std::shared_ptr<const Response> response = lookup(request.target);
        answer(fd, request, *response);
      }
      ::shutdown(fd, SHUT_WR);
      ::close(fd);
    }
  }

  int mListen = -1;
  int mWakeRead = -1;
  int mWakeWrite = -1;
  int mPort = 0;
  std::atomic<bool> mStop{false};
  std::atomic<long long> mBodySent{0};
  mutable std::mutex mLock;
  std::map<std::string, std::shared_ptr<const Response>> mScript;
  std::vector<Request> mRequests;
  std::thread mThread;
};

}  // namespace qvtest
