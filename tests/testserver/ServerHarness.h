// Runs the real nr-testserver on a temporary root and talks to it over raw
// sockets, so a test sees the answer byte for byte (including a body cut
// short or a reset). Header-only; one fixture per test.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Process.h"

namespace tstest {

const std::string kServer = std::string(QV_BINARY_DIR) + "/tools/nr-testserver";
const std::string kDcdType = "application/vnd.kestrova.quorvel+xml";

struct Reply {
  bool ok = false;        // a status line was received
  int error = 0;          // errno of a failed read (e.g. ECONNRESET), 0 at a clean end
  std::string raw;        // every byte received
  std::string statusLine;
  int status = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // First header of that name (ignoring case), "" when absent.
  std::string header(const std::string& name) const {
    for (const auto& h : headers) {
      if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return h.second;
    }
    return "";
  }
  bool hasHeader(const std::string& name) const {
    for (const auto& h : headers) {
      if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return true;
    }
    return false;
  }
};

inline void parseReply(Reply& r) {
  const std::size_t end = r.raw.find("\r\n\r\n");
  if (end == std::string::npos) return;
  std::istringstream head(r.raw.substr(0, end));
  std::string line;
  std::getline(head, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  r.statusLine = line;
  if (line.compare(0, 5, "HTTP/") != 0 || line.size() < 12) return;
  r.status = std::atoi(line.c_str() + 9);
  while (std::getline(head, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) {
      r.headers.emplace_back(line, "");
      continue;
    }
    std::size_t v = colon + 1;
    while (v < line.size() && line[v] == ' ') ++v;
    r.headers.emplace_back(line.substr(0, colon), line.substr(v));
  }
  r.body = r.raw.substr(end + 4);
  r.ok = true;
}

inline int connectTo(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

inline bool sendAll(int fd, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads until the server closes (or the safety limit passes: a hung server
// then shows as a missing status line, not as a hung test).
inline void readToEnd(int fd, Reply& r, long limitMillis = 20000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMillis);
  for (;;) {
    const long left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
    char buf[65536];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0) {
      r.error = errno;
      break;
    }
    if (n == 0) break;
    r.raw.append(buf, static_cast<std::size_t>(n));
  }
}

// One exchange: sends raw request bytes, reads the whole answer.
inline Reply exchange(int port, const std::string& request) {
  Reply r;
  const int fd = connectTo(port);
  if (fd < 0) return r;
  if (sendAll(fd, request)) readToEnd(fd, r);
  ::close(fd);
  parseReply(r);
  return r;
}

// A request with the given extra header lines ("Name: value") and body.
inline std::string request(const std::string& method, const std::string& target,
                           const std::vector<std::string>& headers, const std::string& body = "",
                           bool withLength = true) {
  std::string out = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  for (const auto& h : headers) out += h + "\r\n";
  if (withLength && (!body.empty() || method == "POST")) out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  out += "\r\n" + body;
  return out;
}

inline std::string dcdPost(const std::string& xml, const std::vector<std::string>& extra = {}) {
  std::vector<std::string> headers{"Content-Type: " + kDcdType};
  headers.insert(headers.end(), extra.begin(), extra.end());
  return request("POST", "/dcd", headers, xml);
}

inline std::string contentUpdate(const std::string& applicationAttributes) {
  return "<dcd  version=\"0.8\" >\n<content-update-request  request-trigger=\"man\"  expected-content=\"complete\" >\n"
         "<application id=\"A\" name=\"N\" " +
         applicationAttributes + ">\n</application>\n</content-update-request>\n</dcd>\n";
}

inline std::string gunzip(const std::string& data) {
  z_stream z{};
  if (inflateInit2(&z, 31) != Z_OK) return "<inflateInit failed>";
  std::string out;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  int rc = Z_OK;
  while (rc == Z_OK) {
    char buf[16384];
    z.next_out = reinterpret_cast<Bytef*>(buf);
    z.avail_out = sizeof buf;
    rc = inflate(&z, Z_NO_FLUSH);
    out.append(buf, sizeof buf - z.avail_out);
    if (rc == Z_BUF_ERROR && z.avail_in == 0) break;
  }
  inflateEnd(&z);
  return rc == Z_STREAM_END ? out : "<not a complete gzip stream>";
}

struct Part {
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

// Splits a multipart body by the boundary of its content type; the line end
// before each delimiter belongs to the delimiter. False when malformed.
inline bool splitMultipart(const std::string& contentType, const std::string& body, std::vector<Part>& parts) {
  const std::string key = "boundary=";
  const std::size_t at = contentType.find(key);
  if (at == std::string::npos) return false;
  std::string boundary = contentType.substr(at + key.size());
  if (!boundary.empty() && boundary.front() == '"') boundary = boundary.substr(1, boundary.size() - 2);
  const std::string delimiter = "--" + boundary;
  if (body.compare(0, delimiter.size() + 2, delimiter + "\r\n") != 0) return false;
  std::size_t pos = delimiter.size() + 2;
  for (;;) {
    const std::size_t next = body.find("\r\n" + delimiter, pos);
    if (next == std::string::npos) return false;
    const std::string part = body.substr(pos, next - pos);
    const std::size_t headEnd = part.find("\r\n\r\n");
    if (headEnd == std::string::npos) return false;
    Part p;
    std::istringstream head(part.substr(0, headEnd));
    std::string line;
    while (std::getline(head, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const std::size_t colon = line.find(": ");
      if (colon == std::string::npos) return false;
      p.headers.emplace_back(line.substr(0, colon), line.substr(colon + 2));
    }
    p.body = part.substr(headEnd + 4);
    parts.push_back(p);
    pos = next + 2 + delimiter.size();
    if (body.compare(pos, 4, "--\r\n") == 0) return pos + 4 == body.size();
    if (body.compare(pos, 2, "\r\n") != 0) return false;
    pos += 2;
  }
}

// Fixture: a fresh root and log under a temporary directory; start() runs
// the server on a free port.
class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = qvtest::makeTempDir("qvtestserver");
    ASSERT_FALSE(dir.empty());
    root = dir + "/root";
    ASSERT_EQ(0, ::mkdir(root.c_str(), 0755));
    logPath = dir + "/requests.jsonl";
  }
  void TearDown() override {
    if (server) {
      server->signal(SIGTERM);
      server->wait(10000);
      server.reset();
    }
    qvtest::removeTree(dir);
  }

  void writeFile(const std::string& rel, const std::string& content) {
    const std::string tmp = dir + "/.tmp-write";
    {
      std::ofstream out(tmp, std::ios::binary);
      out << content;
    }
    // Renamed into place, so the server never reads a half-written file.
    ASSERT_EQ(0, std::rename(tmp.c_str(), (rel[0] == '/' ? rel : root + "/" + rel).c_str()));
  }

  // Starts the server with these arguments in addition to --root, --port 0
  // and --log; port is the one it printed.
  void start(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"--root", root, "--port", "0", "--log", logPath};
    args.insert(args.end(), extra.begin(), extra.end());
    server = std::make_unique<qvtest::Process>(kServer, args, dir,
                                               std::map<std::string, std::string>{{"QUORVEL_HOME", dir + "/home"}});
    ASSERT_TRUE(server->waitForOutput("\n")) << server->err();
    port = std::atoi(server->out().c_str());
    ASSERT_GT(port, 0) << server->out();
  }

  Reply send(const std::string& rawRequest) { return exchange(port, rawRequest); }

  std::vector<std::string> logLines() const {
    std::vector<std::string> lines;
    std::istringstream in(qvtest::readFile(logPath));
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
  }

  std::string dir, root, logPath;
  std::unique_ptr<qvtest::Process> server;
  int port = 0;
};

}  // namespace tstest
