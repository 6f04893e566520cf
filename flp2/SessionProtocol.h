// The FLP 2.0 engine for servers that hand out sessions, created by
// flp2svc's factory for "flp20_s". Before a content update it makes sure a
// session exists, registering the client with a DCD service-registration
// exchange when there is none; the session id lives in the session file of
// txn::FileSession (QUORVEL_SESSION_FILE, else /tmp/qvsession), so it
// survives a restart. An update that fails with the session error leads to
// exactly one new registration and one repeat of the update. Pushed
// messages go through the plain engine's handling, whose content updates
// call this class's handleRequest.
//
// A session id is a credential: it is written to the session file and sent
// to the server, and never written to the log. An id the server grants is
// stored only when it is 1 to txn::FileSession::kMaxSessionIdLength bytes
// of printable ASCII without blanks (it travels in a request header).
//
// Threads: constructed, used and destroyed on the run-loop thread, like the
// plain engine. cancel may be called from the event thread while
// handleRequest runs: it also ends a registration exchange in progress
// (mRegistrationLock guards the hand-over of that transaction).
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "Flp2Protocol.h"
#include "txn/Primitives.h"
#include "txn/Session.h"
#include "txn/Transaction.h"

namespace flp2 {

class SessionProtocol : public Protocol {
 public:
  explicit SessionProtocol(int runState);
  ~SessionProtocol() override;
  SessionProtocol(const SessionProtocol&) = delete;
  SessionProtocol& operator=(const SessionProtocol&) = delete;

  // FAILED without an exchange when no session can be established; the
  // code of the (possibly repeated) update otherwise. CANCELLED when the
  // request was cancelled while the session was being established.
  ProtocolResponse handleRequest(ProtocolRequest* request) override;
  bool cancel() override;

  txn::FileSession& getFileSession() { return *mFileSession; }

  // Whether the server's session id may be stored and sent.
  static bool isUsableSessionId(const std::string& id);

 private:
  // Registers when no registration is running. False on failure; code is
  // then FAILED, or CANCELLED (and the request marked) after a cancel.
  bool ensureSession(ProtocolRequest& request, int& code);
  bool registerSession(bool forced);
  std::unique_ptr<DcdTransport> makeRegistrationTransport();
  bool judgeRegistration(const txn::Response* response, int httpStatus);
  bool isCancelled();

  // The store in mSessionAttributes, as its own type.
  txn::FileSession* mFileSession;
  // True while a service-registration transaction is executing.
  bool mRegistering = false;

  std::mutex mRegistrationLock;
  txn::Transaction* mRegistration = nullptr;  // guarded by mRegistrationLock
  bool mCancelled = false;                    // guarded by mRegistrationLock
};

}  // namespace flp2
