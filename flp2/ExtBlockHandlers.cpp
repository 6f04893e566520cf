#include "ExtBlockHandlers.h"

#include <libxml/encoding.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlreader.h>

#include <climits>
#include <cstring>
#include <memory>

#include "platform/Log.h"
#include "platform/Types.h"

namespace flp2 {

namespace {

// The application id a phone-mode change must be meant for.
const char* const kNewsReaderAppId = "w901e";

struct ReaderDeleter {
  void operator()(xmlTextReader* reader) const { xmlFreeTextReader(reader); }
};
struct XmlCharDeleter {
  void operator()(xmlChar* text) const { xmlFree(text); }
};
using ReaderPtr = std::unique_ptr<xmlTextReader, ReaderDeleter>;
using XmlText = std::unique_ptr<xmlChar, XmlCharDeleter>;

// The first error libxml2 reports while a block is read; it is logged once
// when the block fails, instead of going to standard error.
struct ErrorSink {
  std::string message;
  int line = 0;
};

void collectError(void* userData, xmlErrorPtr error) {
  auto* sink = static_cast<ErrorSink*>(userData);
  if (sink == nullptr || error == nullptr || error->level < XML_ERR_ERROR || !sink->message.empty()) return;
  sink->message = error->message != nullptr ? error->message : "unknown error";
  while (!sink->message.empty() && (sink->message.back() == '\n' || sink->message.back() == '\r')) {
    sink->message.pop_back();
  }
  sink->line = error->line;
}

const char* localName(xmlTextReaderPtr reader) {
  const xmlChar* name = xmlTextReaderConstLocalName(reader);
  return name != nullptr ? reinterpret_cast<const char*>(name) : "";
}

bool isElement(xmlTextReaderPtr reader) { return xmlTextReaderNodeType(reader) == XML_READER_TYPE_ELEMENT; }

bool isElementNamed(xmlTextReaderPtr reader, const char* name) {
  return isElement(reader) && std::strcmp(localName(reader), name) == 0;
}

std::unique_ptr<std::string> attribute(xmlTextReaderPtr reader, const char* name) {
  XmlText value(xmlTextReaderGetAttribute(reader, reinterpret_cast<const xmlChar*>(name)));
  if (!value) return nullptr;
  return std::unique_ptr<std::string>(new std::string(reinterpret_cast<const char*>(value.get())));
}

// The next node of a block: 1, 0 at the end of the document, -1 (logged)
// when the text is not well-formed, declares a document type or nests too
// deeply.
int advance(xmlTextReaderPtr reader) {
  const int ret = xmlTextReaderRead(reader);
  if (ret < 0) {
    QV_LOG(3, "The ext-block is not well-formed XML. Rejecting this XML.");
    return -1;
  }
  if (ret == 0) return 0;
  if (xmlTextReaderNodeType(reader) == XML_READER_TYPE_DOCUMENT_TYPE) {
    QV_LOG(3, "The ext-block declares a document type. Rejecting this XML.");
    return -1;
  }
  if (xmlTextReaderDepth(reader) > kMaxExtBlockDepth) {
    QV_LOG(3, "The ext-block nests its elements more than %d levels deep. Rejecting this XML.", kMaxExtBlockDepth);
    return -1;
  }
  return 1;
}

// A value its type can hold: the numeric types need a decimal number in the
// 32-bit range at the start of the text (the settings store keeps both as
// 32-bit integers). Every text is a boolean (see parseBoolean); strings and
// the array types, which the settings refuse later, are not checked here.
bool valueFitsType(const std::string& value, SettingType type) {
  if (type != SettingType::INT && type != SettingType::LONG) return true;
  long number = 0;
  return MString::toInt(value, number) && number >= INT32_MIN && number <= INT32_MAX;
}

// One property element; false (logged) when it cannot be taken.
bool readProperty(xmlTextReaderPtr reader, const std::string& op, ProvisionedSetting& out) {
  std::unique_ptr<std::string> name = attribute(reader, "name");
  std::unique_ptr<std::string> value = attribute(reader, "value");
  std::unique_ptr<std::string> typeText = attribute(reader, "type");
  if (!name || !value || !typeText) {
    QV_LOG(3, "Unable to retrieve all required attributes for this setting property. Skipping this setting.");
    return false;
  }
  SettingType type = SettingType::STRING;
  if (!settingTypeFromString(*typeText, type)) {
    QV_LOG(3, "The setting %s names the unknown type %s. Skipping this setting.", printableText(*name).c_str(),
           printableText(*typeText).c_str());
    return false;
  }
  std::unique_ptr<std::string> language = attribute(reader, "language");
  if (type == SettingType::LOCALIZED_STRING && !language) {
    QV_LOG(3, "All settings of type localizedstring must have its language attribute set.");
    return false;
  }
  if (!valueFitsType(*value, type)) {
    QV_LOG(3, "The value of the setting %s is not a number of the type %s. Skipping this setting.",
           printableText(*name).c_str(), typeText->c_str());
    return false;
  }
  out.name = *name;
  out.value = *value;
  out.type = type;
  out.language = language ? *language : std::string();
  out.op = op;
  return true;
}

}  // namespace

std::string printableText(const std::string& text, std::size_t limit) {
  std::string out;
  for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    out += c >= 0x20 && c != 0x7f ? static_cast<char>(c) : '?';
  }
  if (text.size() > limit) out += "...";
  return out;
}

std::string ProvisionedSetting::toString() const {
  return "[" + name + "] [" + language + ", " + op + "] = " + value;
}

bool PhoneModeChangeHandler::parse(_xmlTextReader* reader, const std::string& namespaceUri) {
  (void)namespaceUri;
  mPhoneMode.reset();
  if (std::strcmp(localName(reader), "wap-provisioningdoc") != 0) {
    QV_LOG(3, "Expected element 'wap-provisioningdoc' and instead got %s", printableText(localName(reader)).c_str());
    return false;
  }
  const int documentDepth = xmlTextReaderDepth(reader);

  int characteristicDepth = -1;
  bool inside = false;  // still within the characteristic element
  for (;;) {
    const int ret = advance(reader);
    if (ret < 0) return false;
    if (ret == 0) {
      QV_LOG(3, "The wap-provisioningdoc holds no characteristic element. Rejecting this XML.");
      return false;
    }
    if (!isElementNamed(reader, "characteristic")) continue;
    if (xmlTextReaderDepth(reader) != documentDepth + 1) {
      QV_LOG(3,
             "This characteristic element is not a direct child of the parent wap-provisioningdoc element. Rejecting "
             "this XML.");
      return false;
    }
    std::unique_ptr<std::string> type = attribute(reader, "type");
    if (!type) {
      QV_LOG(3, "Unable to get type attribute for this characteristic");
      return false;
    }
    if (*type != "APPLICATION") {
      QV_LOG(3, "Expected characteristic's type to be APPLICATION, not %s", printableText(*type).c_str());
      return false;
    }
    characteristicDepth = xmlTextReaderDepth(reader);
    inside = xmlTextReaderIsEmptyElement(reader) == 0;
    break;
  }

  std::optional<PhoneMode> mode;
  for (;;) {
    const int ret = advance(reader);
    if (ret < 0) return false;
    if (ret == 0) break;
    if (xmlTextReaderDepth(reader) <= characteristicDepth) inside = false;
    if (!inside || xmlTextReaderDepth(reader) != characteristicDepth + 1 || !isElementNamed(reader, "parm")) continue;
    std::unique_ptr<std::string> name = attribute(reader, "name");
    std::unique_ptr<std::string> value = attribute(reader, "value");
    if (!name || !value) continue;
    if (*name == "APPID") {
      if (*value != kNewsReaderAppId) {
        QV_LOG(3, "This phone-mode change is meant for the application %s, not for this one. Rejecting this XML.",
               printableText(*value).c_str());
        return false;
      }
    } else if (*name == "APROTOCOL") {
      if (*value == "ON") {
        mode = ENABLED_NORMAL_MODE;
      } else if (*value == "DISABLED") {
        mode = DISABLED_NORMAL_MODE;
      } else if (*value == "OFF") {
        mode = HIDDEN_MODE;
      } else {
        QV_LOG(3, "Unrecognized APROTOCOL value %s. Rejecting this XML.", printableText(*value).c_str());
        return false;
      }
    }
  }
  mPhoneMode = mode;
  return true;
}

bool SettingsUpdateHandler::parse(_xmlTextReader* reader, const std::string& namespaceUri) {
  (void)namespaceUri;
  mSettings.clear();
  if (std::strcmp(localName(reader), "settings") != 0) {
    QV_LOG(3, "Expected element 'settings' and instead got %s", printableText(localName(reader)).c_str());
    return false;
  }
  std::unique_ptr<std::string> op = attribute(reader, "operator");
  if (!op) {
    QV_LOG(3, "The settings element has no operator attribute. Rejecting this XML.");
    return false;
  }
  const int settingsDepth = xmlTextReaderDepth(reader);
  bool inside = xmlTextReaderIsEmptyElement(reader) == 0;

  // Collected aside: a block that turns out broken further on provides
  // nothing.
  std::vector<ProvisionedSetting> taken;
  for (;;) {
    const int ret = advance(reader);
    if (ret < 0) return false;
    if (ret == 0) break;
    if (xmlTextReaderDepth(reader) <= settingsDepth) inside = false;
    if (!isElementNamed(reader, "property")) continue;
    if (!inside || xmlTextReaderDepth(reader) != settingsDepth + 1) {
      QV_LOG(3, "This property element is not a direct child of the settings element. Rejecting this XML.");
      return false;
    }
    ProvisionedSetting setting;
    if (readProperty(reader, *op, setting)) {
      QV_LOG(8, "Adding setting, %s", setting.toString().c_str());
      taken.push_back(std::move(setting));
    } else {
      std::unique_ptr<std::string> name = attribute(reader, "name");
      const std::string element = "property " + (name ? printableText(*name) : std::string("without a name"));
      QV_LOG(3, "Unable to parse the element, %s, as a property element. Continuing to the next property.",
             element.c_str());
    }
  }
  if (taken.empty()) {
    QV_LOG(3, "The settings block provides no usable property. Rejecting this XML.");
    return false;
  }
  mSettings = std::move(taken);
  return true;
}

bool parseExtBlock(const txn::Primitive& parent, ExtBlockHandler& handler) {
  const txn::ExtBlock* block = parent.getExtBlock();
  if (block == nullptr || block->empty() || block->getText()->empty()) {
    QV_LOG(3,
           "There is no ext-block body in this parent primitive. Unable to intrepret this text as a FLP2 Extension.");
    return false;
  }
  const std::string& text = *block->getText();
  if (text.size() > kMaxExtBlockBytes) {
    QV_LOG(3, "The ext-block of %zu bytes is larger than the limit of %zu bytes. Rejecting it.", text.size(),
           kMaxExtBlockBytes);
    return false;
  }
  const char* encoding = xmlGetCharEncodingName(XML_CHAR_ENCODING_UTF8);
  if (encoding == nullptr) {
    QV_LOG(3, "Unable to obtain the canonical name for the UTF-8 encoding scheme. Reverting to default, UTF-8");
    encoding = "UTF-8";
  }
  // No network, and (by leaving out the options that ask for it) no DTD
  // loading and no entity substitution; a document type is refused while
  // reading.
  // CDATA sections arrive as the text they hold.
  ReaderPtr reader(xmlReaderForMemory(text.data(), static_cast<int>(text.size()), nullptr, encoding,
                                      XML_PARSE_NONET | XML_PARSE_NOCDATA));
  if (!reader) {
    QV_LOG(3, "Could not instantiate xml reader");
    return false;
  }
  ErrorSink sink;
  xmlTextReaderSetStructuredErrorHandler(reader.get(), collectError, &sink);

  bool result = false;
  bool seenExtBlock = false;
  for (;;) {
    const int ret = advance(reader.get());
    if (ret == 0) QV_LOG(3, "The ext-block ended before its block element.");
    if (ret <= 0) break;
    if (!isElement(reader.get())) continue;
    if (seenExtBlock) {
      const xmlChar* uri = xmlTextReaderConstNamespaceUri(reader.get());
      result = handler.parse(reader.get(), uri != nullptr ? reinterpret_cast<const char*>(uri) : "");
      break;
    }
    const xmlChar* name = xmlTextReaderConstName(reader.get());
    seenExtBlock = name != nullptr && std::strcmp(reinterpret_cast<const char*>(name), "ext-block") == 0;
  }
  if (!result && !sink.message.empty()) {
    QV_LOG(3, "The XML reader reported at line %d of the ext-block: %s", sink.line,
           printableText(sink.message).c_str());
  }
  return result;
}

}  // namespace flp2
