// The extension blocks of server notifications: small XML documents, carried
// verbatim inside a DCD primitive, that either change the news reader's
// phone mode or re-provision settings. Each kind has a handler that reads
// the block with the libxml2 text reader; parseExtBlock opens the reader on
// a primitive's ext-block text and hands the block's first element to one.
//
// The text comes from the server and is read as hostile: at most
// kMaxExtBlockBytes bytes, elements nested at most kMaxExtBlockDepth levels,
// no network access, no DTD loaded, no entity substituted, and a document
// that declares a document type is refused. A block that is not well-formed
// fails as a whole, so its caller applies nothing of it.
//
// Threads: handlers are plain objects used by one thread at a time (the
// engine's run-loop thread); parseExtBlock may be called from any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "ProtocolSettings.h"
#include "txn/Primitives.h"

struct _xmlTextReader;

namespace flp2 {

constexpr std::size_t kMaxExtBlockBytes = 256 * 1024;
// Depth below the ext-block element.
constexpr int kMaxExtBlockDepth = 32;

// One setting as a settings-update block provisions it.
struct ProvisionedSetting {
  std::string name;  // full name, e.g. "QVCore.DCD.flp20.ServerURL"
  std::string value;
  SettingType type = SettingType::STRING;
  std::string language;  // only for LOCALIZED_STRING
  std::string op;        // the block's operator attribute

  // "[name] [language, operator] = value"
  std::string toString() const;
};

class ExtBlockHandler {
 public:
  virtual ~ExtBlockHandler() = default;
  // reader is positioned on the block's first element; namespaceUri is that
  // element's namespace ("" when none). Reads on as far as it needs; true
  // when the block is one of this handler's kind and well-formed.
  virtual bool parse(_xmlTextReader* reader, const std::string& namespaceUri) = 0;
};

// <wap-provisioningdoc><characteristic type="APPLICATION">
//   <parm name="APPID" value="w901e"/><parm name="APROTOCOL" value="OFF"/>
// </characteristic></wap-provisioningdoc>
class PhoneModeChangeHandler : public ExtBlockHandler {
 public:
  bool parse(_xmlTextReader* reader, const std::string& namespaceUri) override;
  // The mode the block names, if any (valid after a successful parse).
  const std::optional<PhoneMode>& getPhoneMode() const { return mPhoneMode; }

 private:
  std::optional<PhoneMode> mPhoneMode;
};

// <settings operator="op"><property name="..." value="..." type="int"/>...
// A property that lacks an attribute, names an unknown type, or has a value
// its type cannot hold is skipped; the block succeeds when at least one
// property was taken.
class SettingsUpdateHandler : public ExtBlockHandler {
 public:
  bool parse(_xmlTextReader* reader, const std::string& namespaceUri) override;
  // The settings taken, in document order (valid after a successful parse).
  const std::vector<ProvisionedSetting>& getSettings() const { return mSettings; }

 private:
  std::vector<ProvisionedSetting> mSettings;
};

// Reads parent's ext-block: the first element after the "ext-block" element
// is handed to handler. False (logged) when there is no ext-block text, it
// breaks the limits above, or the handler fails.
bool parseExtBlock(const txn::Primitive& parent, ExtBlockHandler& handler);

// Server text for a log line: control bytes become '?', cut after limit
// bytes.
std::string printableText(const std::string& text, std::size_t limit = 256);

}  // namespace flp2
