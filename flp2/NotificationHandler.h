// Server notifications of the FLP 2.0 engine. A pushed DCD notify either
// asks for a content update ("contentupdate"), which becomes a protocol
// request for the engine to run, or announces a system message ("system"),
// which is fetched with a DCD get request; the one system message of the
// answer carries an extension block that changes the phone mode or
// re-provisions settings (ExtBlockHandlers.h).
//
// Pushes arrive from outside and the answers are untrusted: every body goes
// through the hardened XML syntax, every failure ends the notification with
// false and one log line, and nothing is applied of a block that fails.
//
// Threads: everything here runs on the engine's run-loop thread (from
// flp2::Protocol::handleMessage); the context's borrowed objects must not be
// used elsewhere meanwhile.
#pragma once

#include <memory>
#include <vector>

#include "ExtBlockHandlers.h"
#include "ProtocolSettings.h"
#include "framework/Protocol.h"
#include "txn/Primitives.h"
#include "txn/Session.h"

namespace flp2 {

struct NotificationContext {
  NotificationContext(PushMessage* pushed, txn::Session* store, ProtocolSettings* engineSettings)
      : message(pushed), session(store), settings(engineSettings) {}

  // Set when the notification asks for a content update; request is then
  // the request to run (owned by the context's owner).
  bool needsContentUpdate = false;
  std::unique_ptr<ProtocolRequest> request;
  // Borrowed from the engine.
  PushMessage* message;
  txn::Session* session;
  ProtocolSettings* settings;
};

// Reads and acts on the pushed message. False when it was rejected or its
// action failed; a "contentupdate" that was accepted gives true (how the
// update goes is for the engine to judge).
bool handleNotification(NotificationContext& context);

// The action on a system message: interprets detail's ext-block as a
// phone-mode change, else as a settings update, and applies it.
bool interpretExtBlock(const txn::Primitive& detail, ProtocolSettings& settings);

// Applies each setting through settings.updateSetting, also when another
// one fails. True only when every setting was applied (false for none). A
// setting whose key the store already holds with another type is not
// applied: a provisioned value never changes the type of a stored key.
bool applyProvisionedSettings(const std::vector<ProvisionedSetting>& provisioned, ProtocolSettings& settings);

}  // namespace flp2
