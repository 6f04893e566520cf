// Shared pieces of the HTTP stack tests: a fresh settings home per test,
// one whole exchange driven through the stack, gzip, and a dead port.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <string>

#include "MiniHttpServer.h"
#include "Process.h"
#include "platform/Hivra.h"
#include "platform/Settings.h"

namespace qvtest {

// Each test gets its own QUORVEL_HOME, so settings never leak between tests.
class HttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mHome = makeTempDir("qv-http-test");
    ASSERT_FALSE(mHome.empty());
    setenv("QUORVEL_HOME", mHome.c_str(), 1);
    QuorvelSettingMgr::resetForTesting();
  }
  void TearDown() override {
    QuorvelSettingMgr::resetForTesting();
    unsetenv("QUORVEL_HOME");
    removeTree(mHome);
  }

  QuorvelSettingMgr& settings() {
    QuorvelSettingMgr* mgr = QuorvelSettingMgr::getSettingMgrInstance();
    if (mgr == nullptr) std::abort();
    return *mgr;
  }

  std::string mHome;
};

// Everything one exchange produced. error is the first failure, or
// ERR_END_OF_BODY when the body was read to its end.
struct Exchange {
  int status = -1;
  Hivra::Headers headers;
  std::string body;
  Hivra::Error error;
};

// GET (or the given method) of url through profile, with the request headers
// and body given, reading the body in pieces of readSize bytes.
inline Exchange runExchange(const Hivra::ConnectionProfile& profile, const std::string& url,
                            const std::string& method = "GET", const Hivra::Headers& headers = Hivra::Headers(),
                            const std::string& body = std::string(), int readSize = 1024) {
  Exchange result;
  Hivra::Error error;
  Hivra::Agent* agent = Hivra::Agent::create(profile, Hivra::Headers(), error);
  if (agent == nullptr) {
    result.error = error;
    return result;
  }
  Hivra::Transaction* t = agent->createSynchronizedTransaction(method, url, error);
  bool ok = t != nullptr && t->setRequestHeaders(headers, error) && t->sendRequestHeaders(error);
  if (ok && !body.empty()) ok = t->sendRequestBody(body.data(), static_cast<long long>(body.size()), error);
  if (ok) ok = t->finishRequest(error);
  if (ok) result.status = t->receiveStatus(error);
  if (ok && result.status >= 0) {
    const Hivra::Headers* received = t->receiveResponseHeaders(error);
    if (received != nullptr) result.headers = *received;
    std::string buffer(static_cast<std::size_t>(readSize), '\0');
    int n;
    while ((n = t->readBody(&buffer[0], readSize, error)) > 0) result.body.append(buffer.data(), n);
  }
  result.error = error;
  Hivra::Error ignored;
  if (t != nullptr) agent->destroyTransaction(t, ignored);
  Hivra::Agent::destroy(agent, ignored);
  return result;
}

inline std::string gzipped(const std::string& text) {
  z_stream z{};
  if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY) != Z_OK) return std::string();
  std::string out(deflateBound(&z, text.size()) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  int rc = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return rc == Z_STREAM_END ? out : std::string();
}

// A loopback port that refuses connections: bound, never listening.
class DeadPort {
 public:
  DeadPort() {
    mFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (mFd >= 0 && ::bind(mFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(mFd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
      mPort = ntohs(addr.sin_port);
    }
  }
  ~DeadPort() {
    if (mFd >= 0) ::close(mFd);
  }
  DeadPort(const DeadPort&) = delete;
  DeadPort& operator=(const DeadPort&) = delete;
  int port() const { return mPort; }

 private:
  int mFd = -1;
  int mPort = 0;
};

// A pattern body whose bytes differ with their position.
inline std::string patternBody(std::size_t size) {
  std::string body(size, '\0');
  for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return body;
}

}  // namespace qvtest
