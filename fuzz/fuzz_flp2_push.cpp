// The FLP 2.0 push path over arbitrary bytes: the input up to its first NUL
// byte is the pushed body, the rest is the server's answer to the get
// request of a system message. The body goes through the notification
// handler; a system message is fetched over the FILE transport (which
// answers with get-response.xml in the working directory, a scratch
// directory here) and its extension block goes through the phone-mode and
// settings handlers, which write to a scratch settings store. The target
// changes into that directory: give it absolute corpus and artifact paths
// (fuzz/run-all.sh does).
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "NotificationHandler.h"
#include "ProtocolSettings.h"
#include "platform/Facade.h"
#include "platform/Settings.h"
#include "txn/Primitives.h"
#include "txn/Session.h"

namespace {

// Events (the phone-mode change) go nowhere: there is no bus.
class SilentFacade : public QV_EventAndStatusFacade {
 public:
  int publishEvent(const QV_Event&, void*) override { return 0; }
};

struct World {
  std::unique_ptr<txn::Session> session;
  std::unique_ptr<flp2::ProtocolSettings> settings;
};

World* gWorld = nullptr;

void writeAnswer(const char* data, size_t size) {
  if (size == 0) {
    std::remove("get-response.xml");
    return;
  }
  FILE* out = std::fopen("get-response.xml.new", "wb");
  if (out == nullptr) std::abort();
  const bool whole = std::fwrite(data, 1, size, out) == size;
  if (std::fclose(out) != 0 || !whole || std::rename("get-response.xml.new", "get-response.xml") != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quietLogs();
  static SilentFacade facade;
  QV_EventAndStatusFacade::setInstanceForTesting(&facade);
  // A scratch home on a memory file system where there is one: the
  // settings are written by provisioning inputs.
  std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm/qv-fuzz-push-XXXXXX" : "/tmp/qv-fuzz-push-XXXXXX";
  char* home = mkdtemp(&pattern[0]);
  if (home == nullptr || chdir(home) != 0) std::abort();
  setenv("QUORVEL_HOME", home, 1);
  setenv("QUORVEL_SESSION_FILE", (std::string(home) + "/qvsession").c_str(), 1);
  QuorvelSettingMgr* manager = QuorvelSettingMgr::getSettingMgrInstance();
  if (manager == nullptr) std::abort();
  manager->setString(1, "Transport.DefaultTransport", L"FILE");
  manager->setString(1, "flp20.ServerURL", L"http://127.0.0.1:9/dcd");
  gWorld = new World;
  gWorld->session.reset(new txn::Session());
  gWorld->settings.reset(new flp2::ProtocolSettings());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string::size_type nul = input.find('\0');
  const std::string body = input.substr(0, nul);
  const std::string answer = nul == std::string::npos ? std::string() : input.substr(nul + 1);
  writeAnswer(answer.data(), answer.size());

  PushMessage message(txn::kDcdMimeType, "UTF-8", body, input);
  flp2::NotificationContext context(&message, gWorld->session.get(), gWorld->settings.get());
  const bool handled = flp2::handleNotification(context);
  // An update is asked for exactly when a request was made, always by the
  // server trigger, and only by an accepted notification.
  FUZZ_CHECK(context.needsContentUpdate == (context.request != nullptr));
  if (context.request) {
    FUZZ_CHECK(handled);
    FUZZ_CHECK(context.request->getTrigger() == ProtocolRequest::SERVER);
  }
  return 0;
}
