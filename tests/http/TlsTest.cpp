// TLS verification against a local TLS server (the openssl command, when
// installed) with a certificate from a CA made for the test: the system
// store alone rejects it, the extra CA setting makes it trusted, the host
// name is still checked, and resuming never bypasses a failure.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "HttpTestSupport.h"
#include "Process.h"
#include "platform/Hivra.h"

namespace {

const char* kOpenssl = "/usr/bin/openssl";

int freePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = 0;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  if (fd >= 0) ::close(fd);
  return port;
}

bool accepts(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  if (fd >= 0) ::close(fd);
  return ok;
}

class TlsTest : public qvtest::HttpTest {
 protected:
  void SetUp() override {
    HttpTest::SetUp();
    if (::access(kOpenssl, X_OK) != 0) GTEST_SKIP() << "no openssl command";
    const std::string d = mHome + "/";
    const std::string q = std::string(kOpenssl);
    const std::string script =
        q + " req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + d + "ca.key -out " + d +
        "ca.pem -days 2 -subj /CN=QvTestCA -addext basicConstraints=critical,CA:TRUE -addext "
        "keyUsage=critical,keyCertSign && " +
        q + " req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + d + "server.key -out " + d +
        "server.csr -subj /CN=127.0.0.1 && printf 'subjectAltName=IP:127.0.0.1\\nextendedKeyUsage=serverAuth\\n' > " +
        d + "ext.cnf && " + q + " x509 -req -in " + d + "server.csr -CA " + d + "ca.pem -CAkey " + d +
        "ca.key -CAcreateserial -out " + d + "server.pem -days 2 -extfile " + d + "ext.cnf";
    ASSERT_EQ(0, std::system(("(" + script + ") >" + d + "openssl.log 2>&1").c_str()))
        << qvtest::readFile(d + "openssl.log");
    // The port is picked free, then taken by the server: retry if someone
    // else took it in between.
    for (int attempt = 0; attempt < 3 && (mServer == nullptr || !accepts(mPort)); ++attempt) {
      mPort = freePort();
      ASSERT_NE(0, mPort);
      mServer.reset(new qvtest::Process(
          kOpenssl,
          {"s_server", "-quiet", "-www", "-accept", "127.0.0.1:" + std::to_string(mPort), "-cert", d + "server.pem",
           "-key", d + "server.key"},
          mHome));
      for (int i = 0; i < 500 && mServer->running() && !accepts(mPort); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    ASSERT_TRUE(accepts(mPort)) << mServer->err();
  }
  void TearDown() override {
    mServer.reset();
    HttpTest::TearDown();
  }

  std::string url(const char* host) const { return std::string("https://") + host + ":" + std::to_string(mPort) + "/"; }

  int mPort = 0;
  std::unique_ptr<qvtest::Process> mServer;
};

TEST_F(TlsTest, CertificatesAreVerifiedAndNeverBypassed) {
  struct Case {
    const char* name;
    const char* caFile;  // setting value; null leaves it unset
    const char* host;
    int code;
  } cases[] = {
      {"system store only", nullptr, "127.0.0.1", Hivra::ERR_CERTIFICATE},
      {"extra CA from the setting", "ca.pem", "127.0.0.1", Hivra::ERR_NONE},
      {"extra CA, wrong host name", "ca.pem", "localhost", Hivra::ERR_CERTIFICATE},
      {"unreadable extra CA file", "missing.pem", "127.0.0.1", Hivra::ERR_CERTIFICATE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.caFile != nullptr) {
      std::string path = mHome + "/" + c.caFile;
      ASSERT_EQ(0, settings().setString(Hivra::kSettingsCategory, Hivra::kSettingExtraCaFile,
                                        std::wstring(path.begin(), path.end())));
    }
    Hivra::Error error;
    Hivra::Agent* agent = Hivra::Agent::create(Hivra::ConnectionProfile(), Hivra::Headers(), error);
    ASSERT_NE(nullptr, agent);
    Hivra::Transaction* t = agent->createSynchronizedTransaction("GET", url(c.host), error);
    ASSERT_NE(nullptr, t) << error.toString();
    bool sent = t->sendRequestHeaders(error);
    EXPECT_EQ(c.code, error.code()) << error.toString();
    if (sent) {
      EXPECT_EQ(200, t->receiveStatus(error)) << error.toString();
    } else {
      Hivra::CertificateInfo accept;
      accept.setResponseCode(Hivra::CertificateInfo::RESPONSE_ACCEPT);
      EXPECT_FALSE(t->resumeWithCertificate(accept, error));
      EXPECT_EQ(Hivra::ERR_CERTIFICATE, error.code());
      EXPECT_EQ(-1, t->receiveStatus(error));
    }
    agent->destroyTransaction(t, error);
    Hivra::Agent::destroy(agent, error);
  }
}

}  // namespace
