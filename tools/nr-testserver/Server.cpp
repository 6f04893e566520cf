#include "Server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>

#include "platform/Log.h"

namespace testserver {

namespace {

constexpr std::size_t kReadPiece = 64 * 1024;
// After an answer, how long the client may take to close its side.
constexpr long kLingerMillis = 2000;

long long nowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool noBodyStatus(int status) { return (status >= 100 && status < 200) || status == 204 || status == 304; }

void setHeader(std::vector<Header>& headers, const Header& h) {
  bool replaced = false;
  for (auto it = headers.begin(); it != headers.end();) {
    if (!equalsIgnoreCase(it->name, h.name)) {
      ++it;
    } else if (!h.value.empty() && !replaced) {
      it->name = h.name;
      it->value = h.value;
      replaced = true;
      ++it;
    } else {
      it = headers.erase(it);
    }
  }
  if (!replaced && !h.value.empty()) headers.push_back(h);
}

}  // namespace

Server::Server(Config config) : mConfig(std::move(config)), mRules(mConfig.root, mConfig.rulesPath) {}

Server::~Server() { reapWorkers(true); }

bool Server::loadRules(std::string& error) { return mRules.load(error); }

bool Server::start(std::string& error) {
  if (!mConfig.logPath.empty()) {
    mLog.reset(std::fopen(mConfig.logPath.c_str(), "a"));
    if (!mLog) {
      error = mConfig.logPath + ": " + std::strerror(errno);
      return false;
    }
  }
  mWake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!mWake.valid()) {
    error = std::string("eventfd: ") + std::strerror(errno);
    return false;
  }
  mListen.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!mListen.valid()) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  const int one = 1;
  ::setsockopt(mListen.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(mConfig.port));
  if (::bind(mListen.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    error = "bind 127.0.0.1:" + std::to_string(mConfig.port) + ": " + std::strerror(errno);
    return false;
  }
  if (::listen(mListen.get(), 128) != 0) {
    error = std::string("listen: ") + std::strerror(errno);
    return false;
  }
  socklen_t len = sizeof addr;
  if (::getsockname(mListen.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    error = std::string("getsockname: ") + std::strerror(errno);
    return false;
  }
  mPort = ntohs(addr.sin_port);
  return true;
}

void Server::run(int stopFd) {
  for (;;) {
    reapWorkers(false);
    pollfd fds[2] = {{mListen.get(), POLLIN, 0}, {stopFd, POLLIN, 0}};
    const int n = ::poll(fds, 2, 1000);
    if (n < 0 && errno != EINTR) {
      QV_LOG(3, "poll failed: %s\n", std::strerror(errno));
      break;
    }
    if (n <= 0) continue;
    if (fds[1].revents != 0) break;
    if ((fds[0].revents & POLLIN) == 0) continue;
    UniqueFd conn(::accept4(mListen.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!conn.valid()) continue;
    if (mWorkers.size() >= kMaxConnections) {
      refuse(conn.get(), 503, "too many connections");
      continue;
    }
    auto worker = std::make_unique<Worker>();
    worker->conn = std::move(conn);
    Worker* raw = worker.get();
    try {
      worker->thread = std::thread([this, raw] {
        serve(raw->conn.get());
        raw->conn.reset();
        raw->done = true;
      });
    } catch (const std::exception& e) {
      QV_LOG(3, "cannot start a connection thread: %s\n", e.what());
      continue;  // the worker and its connection are released here
    }
    mWorkers.push_back(std::move(worker));
  }
  // Wake every connection thread out of its waits, then join them.
  const uint64_t one = 1;
  if (::write(mWake.get(), &one, sizeof one) != static_cast<ssize_t>(sizeof one)) {
    QV_LOG(3, "cannot signal the connection threads: %s\n", std::strerror(errno));
  }
  mListen.reset();
  reapWorkers(true);
}

void Server::reapWorkers(bool all) {
  for (auto it = mWorkers.begin(); it != mWorkers.end();) {
    if (all || (*it)->done) {
      if ((*it)->thread.joinable()) (*it)->thread.join();
      it = mWorkers.erase(it);
    } else {
      ++it;
    }
  }
}

// Reads what is there into buffer. False when the peer closed, on error,
// after kIdleMillis without data, or when the server stops.
bool Server::readMore(int fd, std::string& buffer) {
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {mWake.get(), POLLIN, 0}};
    const int n = ::poll(fds, 2, static_cast<int>(kIdleMillis));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || fds[1].revents != 0) return false;
    char piece[kReadPiece];
    const ssize_t got = ::recv(fd, piece, sizeof piece, 0);
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (got <= 0) return false;
    buffer.append(piece, static_cast<std::size_t>(got));
    return true;
  }
}

// Pauses; false when the server stops or the peer went away meanwhile.
bool Server::waitMillis(int fd, long millis) {
  const long long deadline = nowMillis() + millis;
  for (;;) {
    const long long left = deadline - nowMillis();
    if (left <= 0) return true;
    pollfd fds[2] = {{mWake.get(), POLLIN, 0}, {fd, POLLRDHUP, 0}};
    const int n = ::poll(fds, 2, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n > 0) return false;
  }
}

bool Server::writeAll(int fd, const char* data, std::size_t length) {
  std::size_t sent = 0;
  while (sent < length) {
    const ssize_t n = ::send(fd, data + sent, length - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd fds[2] = {{fd, POLLOUT, 0}, {mWake.get(), POLLIN, 0}};
      const int r = ::poll(fds, 2, static_cast<int>(kIdleMillis));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0 || fds[1].revents != 0 || (fds[0].revents & (POLLERR | POLLHUP)) != 0) return false;
      continue;
    }
    return false;
  }
  return true;
}

// Closes after an answer without losing it: the write side first, then
// whatever the client still sends is read and dropped for a short while.
void Server::lingeringClose(int fd) {
  ::shutdown(fd, SHUT_WR);
  const long long deadline = nowMillis() + kLingerMillis;
  for (;;) {
    const long long left = deadline - nowMillis();
    if (left <= 0) return;
    pollfd fds[2] = {{fd, POLLIN, 0}, {mWake.get(), POLLIN, 0}};
    const int n = ::poll(fds, 2, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || fds[1].revents != 0) return;
    char sink[4096];
    const ssize_t got = ::recv(fd, sink, sizeof sink, 0);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) return;
  }
}

void Server::refuse(int fd, int status, const char* why) {
  QV_LOG(3, "refused a request with %d: %s\n", status, why);
  const std::string text = "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) +
                           "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  if (writeAll(fd, text.data(), text.size())) lingeringClose(fd);
}

void Server::serve(int fd) {
  std::string buffer;
  std::size_t headEnd;
  while ((headEnd = findHeadEnd(buffer)) == std::string::npos) {
    if (buffer.size() > kMaxHeadBytes) return refuse(fd, 431, "request head too large");
    if (!readMore(fd, buffer)) return;
  }
  if (headEnd > kMaxHeadBytes) return refuse(fd, 431, "request head too large");
  Request request;
  const int bad = parseHead(buffer.substr(0, headEnd), request);
  if (bad != 0) return refuse(fd, bad, "malformed request head");
  const BodyFraming framing = bodyFraming(request, mConfig.maxBody);
  if (framing.error != 0) return refuse(fd, framing.error, "request body refused");

  std::string raw = buffer.substr(headEnd);
  buffer.clear();
  if (framing.kind != BodyFraming::kNone) {
    const std::string* expect = request.header("Expect");
    if (expect != nullptr && equalsIgnoreCase(*expect, "100-continue")) {
      static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
      if (!writeAll(fd, kContinue, sizeof kContinue - 1)) return;
    }
  }
  if (framing.kind == BodyFraming::kLength) {
    while (raw.size() < framing.length) {
      if (!readMore(fd, raw)) return;
    }
    request.body = raw.substr(0, framing.length);
  } else if (framing.kind == BodyFraming::kChunked) {
    ChunkedDecoder decoder(mConfig.maxBody);
    for (;;) {
      const int status = decoder.feed(raw, request.body);
      if (status != 0) return refuse(fd, status, "malformed or oversized chunked body");
      if (decoder.done()) break;
      // Chunk framing costs a few bytes per chunk; beyond twice the body
      // bound the sender is not sending a body worth reading.
      if (raw.size() > 2 * mConfig.maxBody + kMaxHeadBytes) return refuse(fd, 413, "chunked body too large");
      if (!readMore(fd, raw)) return;
    }
  }
  answer(fd, request);
}

std::string Server::expand(const std::string& text) const {
  static const std::string kPort = "${PORT}";
  std::string out = text;
  for (std::size_t at = out.find(kPort); at != std::string::npos; at = out.find(kPort, at)) {
    const std::string port = std::to_string(mPort);
    out.replace(at, kPort.size(), port);
    at += port.size();
  }
  return out;
}

void Server::answer(int fd, const Request& request) {
  Plan plan = planAnswer(mConfig.mode, mConfig.root, request);
  Answer rules;
  std::string error;
  if (!mRules.resolve(RuleQuery{request.path, plan.kind, plan.file}, rules, error)) {
    QV_LOG(3, "rules: %s\n", error.c_str());
    rules = Answer();
    plan.status = 500;
    plan.contentType = "text/plain";
    plan.body = "rules: " + error + "\n";
  }
  if (rules.hasBodyFile && !readRootFile(mConfig.root, rules.bodyFile, plan.body)) {
    QV_LOG(3, "rules: cannot read the body file %s\n", rules.bodyFile.c_str());
    plan.status = 500;
    plan.body.clear();
  }
  if (rules.hasBodyText) plan.body = expand(rules.bodyText);
  const int status = rules.status != 0 ? rules.status : plan.status;

  bool gzipped = false;
  if (rules.gzip == Answer::kGzipAlways ||
      (rules.gzip == Answer::kGzipIfAccepted && request.header("Accept-Encoding") != nullptr &&
       containsIgnoreCase(*request.header("Accept-Encoding"), "gzip"))) {
    std::string packed;
    if (gzipCompress(plan.body, packed)) {
      plan.body = std::move(packed);
      gzipped = true;
    } else {
      QV_LOG(3, "gzip of the answer failed\n");
    }
  }

  const bool sendBody = !noBodyStatus(status) && request.method != "HEAD";
  std::vector<Header> headers;
  if (!plan.contentType.empty()) headers.push_back({"Content-Type", plan.contentType});
  if (!noBodyStatus(status)) headers.push_back({"Content-Length", std::to_string(plan.body.size())});
  if (gzipped) headers.push_back({"Content-Encoding", "gzip"});
  headers.push_back({"Connection", "close"});
  for (const Header& h : rules.headers) setHeader(headers, Header{h.name, expand(h.value)});

  std::string head = rules.statusLine.empty()
                         ? "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status)
                         : expand(rules.statusLine);
  head += "\r\n";
  for (const Header& h : headers) head += h.name + ": " + h.value + "\r\n";
  for (const std::string& line : rules.rawHeaders) head += expand(line) + "\r\n";
  head += "\r\n";

  logRequest(request, plan, status);

  if (rules.delayMillis > 0 && !waitMillis(fd, rules.delayMillis)) return;
  if (!writeAll(fd, head.data(), head.size())) return;

  std::size_t limit = sendBody ? plan.body.size() : 0;
  const bool cutShort = rules.closeAfter >= 0;
  if (cutShort && static_cast<std::size_t>(rules.closeAfter) < limit) {
    limit = static_cast<std::size_t>(rules.closeAfter);
  }
  if (rules.dripBytes > 0) {
    for (std::size_t at = 0; at < limit;) {
      const std::size_t piece = std::min(rules.dripBytes, limit - at);
      if (!writeAll(fd, plan.body.data() + at, piece)) return;
      at += piece;
      if (at < limit && !waitMillis(fd, rules.dripMillis)) return;
    }
  } else if (limit > 0 && !writeAll(fd, plan.body.data(), limit)) {
    return;
  }
  if (cutShort) {
    if (rules.closeWithReset) {
      // A zero linger time makes close() send a reset.
      const linger lg{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
    return;  // the caller closes the socket
  }
  lingeringClose(fd);
}

void Server::logRequest(const Request& request, const Plan& plan, int status) {
  if (!mLog) return;
  std::string line = "{\"seq\":";
  std::lock_guard<std::mutex> guard(mLogLock);
  line += std::to_string(++mSeq);
  line += ",\"method\":" + jsonString(request.method);
  line += ",\"target\":" + jsonString(request.target);
  line += ",\"path\":" + jsonString(request.path);
  line += ",\"version\":" + jsonString(request.version);
  line += ",\"headers\":[";
  for (std::size_t i = 0; i < request.headers.size(); ++i) {
    if (i > 0) line += ',';
    line += "[" + jsonString(request.headers[i].name) + "," + jsonString(request.headers[i].value) + "]";
  }
  line += "]";
  if (isValidUtf8(request.body)) {
    line += ",\"body\":" + jsonString(request.body) + ",\"bodyEncoding\":\"text\"";
  } else {
    line += ",\"body\":\"" + base64(request.body) + "\",\"bodyEncoding\":\"base64\"";
  }
  line += ",\"kind\":" + jsonString(plan.kind);
  line += ",\"answer\":" + jsonString(plan.file);
  line += ",\"status\":" + std::to_string(status);
  if (!plan.note.empty()) line += ",\"note\":" + jsonString(plan.note);
  line += "}\n";
  if (std::fwrite(line.data(), 1, line.size(), mLog.get()) != line.size() || std::fflush(mLog.get()) != 0) {
    QV_LOG(3, "cannot write the request log %s\n", mConfig.logPath.c_str());
  }
}

}  // namespace testserver
