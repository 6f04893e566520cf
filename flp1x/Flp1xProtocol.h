// The FLP 1.x protocol engine, created by flp1xsvc's factory for "flp1x".
// Update requests go to its content updater; pushed messages are read here:
//
//   "text/vnd.wap.sl"                         Service Loading: the path of
//                                             its href becomes the next
//                                             path and an update (trigger
//                                             "svr") runs at once
//   "text/vnd.wap.connectivity-xml"           provisioning document
//   "application/vnd.wap.connectivity-wbxml"  provisioning document: binary
//                                             WBXML is decoded to XML first;
//                                             a body that is XML text is
//                                             read as it stands
//
// A provisioning document acts on its first characteristic only: its
// "APROTOCOL" parms switch the news reader on (any value but "OFF") or off
// ("OFF", which ends the walk); each nested "RESOURCE" characteristic sets
// the server URL (with a "URI" parm) or the three channel URLs from its
// start page (otherwise). What several such parms or resources ask for is
// applied once, as their last one leaves it.
//
// Text bodies are read up to their first NUL byte. Bodies from outside are
// bounded by the element parser's limits; binary WBXML is read only up to
// kMaxWbxmlBytes and may decode to at most kMaxDecodedBytes of XML.
//
// Threads: constructed, used and destroyed on the run-loop thread, where
// handleRequest and handleMessage run. cancel is called from the event
// thread while either runs; it reaches the content updater, whose cancel is
// thread-safe (also the update a Service Loading push starts). The static
// readers are pure functions of their arguments (any thread).
#pragma once

#include <optional>
#include <string>

#include "Flp1xContentUpdater.h"
#include "framework/Protocol.h"

class Flp1xProtocol : public Protocol {
 public:
  static constexpr const char* kServiceLoadingType = "text/vnd.wap.sl";
  static constexpr const char* kServiceLoadingWbxmlType = "application/vnd.wap.slc";
  static constexpr const char* kProvisioningXmlType = "text/vnd.wap.connectivity-xml";
  static constexpr const char* kProvisioningWbxmlType = "application/vnd.wap.connectivity-wbxml";
  static constexpr size_t kMaxWbxmlBytes = 64 * 1024;
  static constexpr size_t kMaxDecodedBytes = 1024 * 1024;

  // What a pushed message asks for, as read from it (no effect yet).
  struct PushPlan {
    enum Kind { NONE, SERVICE_LOADING, PROVISIONING };
    Kind kind = NONE;
    std::string nextPath;  // Service Loading: the path of the href
    // Provisioning: the switches in the order they apply (on, then off),
    // and the last server URL and start page the resources gave.
    bool switchOn = false;
    bool switchOff = false;
    std::optional<std::string> serverUrl;
    std::optional<std::string> startPage;
  };

  Flp1xProtocol();
  ~Flp1xProtocol() override;
  Flp1xProtocol(const Flp1xProtocol&) = delete;
  Flp1xProtocol& operator=(const Flp1xProtocol&) = delete;

  ProtocolResponse handleRequest(ProtocolRequest* request) override;
  // True when the message was read and acted on (a Service Loading update
  // that fails still counts as handled).
  bool handleMessage(PushMessage* message) override;
  bool cancel() override;

  Flp1xContentUpdater& contentUpdater() { return mContentUpdater; }

  // Reads a pushed message (content type, and every byte of its body) into
  // plan, with the log line of each failure. The content type is compared
  // as a media type (any case, parameters ignored). False for an empty body,
  // an unknown content type, one that asks for a security check (SEC, MAC)
  // or a document that does not read.
  static bool readPush(const std::string& contentType, const std::string& payload, PushPlan& plan);
  // True when a body starts like binary WBXML (a version byte 0 to 3) and
  // not like XML text.
  static bool looksLikeWbxml(const std::string& payload);
  // The document a binary WBXML push holds, for a document that names no
  // public id of its own.
  enum class WbxmlDocument { PROVISIONING, SERVICE_LOADING };
  // Decodes a binary WBXML push (provisioning, or tokenized Service
  // Loading) to XML text; false, with a log line, when it does not decode or
  // breaks the bounds above.
  static bool decodeWbxml(const std::string& payload, std::string& xml,
                          WbxmlDocument kind = WbxmlDocument::PROVISIONING);

 private:
  static bool readServiceLoading(const std::string& text, PushPlan& plan);
  static bool readProvisioning(const std::string& text, PushPlan& plan);
  void applyProvisioning(const PushPlan& plan);

  Flp1xContentUpdater mContentUpdater;
};
