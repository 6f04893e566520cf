#include "Flp1xProtocol.h"

#include <wbxml/wbxml.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "Flp1xPlatformWrapper.h"
#include "PushDocuments.h"
#include "Url.h"
#include "XMLParser.h"
#include "framework/MediaType.h"
#include "platform/Log.h"

namespace {

constexpr int kRunning = 1;

struct WbxmlDecoderDeleter {
  void operator()(WBXMLConvWBXML2XML* decoder) const { wbxml_conv_wbxml2xml_destroy(decoder); }
};
struct WbxmlBufferDeleter {
  void operator()(WB_UTINY* buffer) const { std::free(buffer); }
};

// The decoding library asserts (and so aborts the process) on some values
// that a hostile document can carry, e.g. an entity code of 2^31 or more.
// Before a document reaches it, its token stream is walked here: every
// multi-byte integer must fit in 31 bits, every inline string must end
// inside the document, every string-table reference and opaque length must
// stay inside its bounds. A document that passes is still decoded by the
// library, which does the real reading.
class WbxmlScan {
 public:
  explicit WbxmlScan(const std::string& bytes) : mBytes(bytes) {}

  bool wellFormed() { return noHugeEntityAnywhere() && tokensInBounds(); }

 private:
  // The library's reading of a hostile document can differ from the walk
  // below (for instance in where an inline string ends), so an entity token
  // followed by a code past 31 bits is refused wherever it stands. The byte
  // 0x02 is a control character that text does not contain.
  bool noHugeEntityAnywhere() const {
    for (std::string::size_type i = 0; i < mBytes.size(); ++i) {
      if (mBytes[i] != '\x02') continue;
      std::uint64_t code = 0;
      for (std::string::size_type j = i + 1; j < mBytes.size() && j <= i + 6; ++j) {
        const unsigned char b = static_cast<unsigned char>(mBytes[j]);
        code = (code << 7) | (b & 0x7F);
        if (code >= 0x80000000u) return false;
        if ((b & 0x80) == 0) break;
      }
    }
    return true;
  }

  bool tokensInBounds() {
    std::uint32_t ignored = 0;
    std::uint32_t version = 0;
    if (!byte(version)) return false;
    std::uint32_t publicId = 0;
    if (!mbInt(publicId)) return false;
    std::uint32_t publicIdIndex = 0;
    if (publicId == 0 && !mbInt(publicIdIndex)) return false;
    if (version > 0 && !mbInt(ignored)) return false;       // charset (since 1.1)
    if (!mbInt(mTableLength) || mTableLength > mBytes.size() - mPos) return false;
    mPos += mTableLength;
    if (publicId == 0 && publicIdIndex >= mTableLength) return false;
    while (mPos < mBytes.size()) {
      const unsigned char token = static_cast<unsigned char>(mBytes[mPos++]);
      switch (token) {
        case 0x00:  // SWITCH_PAGE
          if (!byte(ignored)) return false;
          break;
        case 0x02:  // ENTITY
        case 0x80: case 0x81: case 0x82:  // EXT_T_0..2
          if (!mbInt(ignored)) return false;
          break;
        case 0x03:  // STR_I
        case 0x40: case 0x41: case 0x42:  // EXT_I_0..2
          if (!inlineString()) return false;
          break;
        case 0x04: case 0x44: case 0x84: case 0xC4:  // LITERAL*
        case 0x83:                                   // STR_T
          if (!tableIndex()) return false;
          break;
        case 0xC3: {  // OPAQUE
          std::uint32_t length = 0;
          if (!mbInt(length) || length > mBytes.size() - mPos) return false;
          mPos += length;
          break;
        }
        default:  // END, PI, EXT_0..2, tags, attribute starts and values
          break;
      }
    }
    return true;
  }

  bool byte(std::uint32_t& out) {
    if (mPos >= mBytes.size()) return false;
    out = static_cast<unsigned char>(mBytes[mPos++]);
    return true;
  }
  bool mbInt(std::uint32_t& out) {
    out = 0;
    for (int i = 0; i < 5; ++i) {
      std::uint32_t b = 0;
      if (!byte(b)) return false;
      if (out > (0x7FFFFFFFu >> 7)) return false;
      out = (out << 7) | (b & 0x7F);
      if ((b & 0x80) == 0) return true;
    }
    return false;
  }
  bool inlineString() {
    const std::string::size_type end = mBytes.find('\0', mPos);
    if (end == std::string::npos) return false;
    mPos = end + 1;
    return true;
  }
  bool tableIndex() {
    std::uint32_t index = 0;
    return mbInt(index) && index < mTableLength;
  }

  const std::string& mBytes;
  std::string::size_type mPos = 0;
  std::uint32_t mTableLength = 0;
};


// The text of a body: its bytes up to the first NUL.
std::string textOf(const std::string& payload) { return std::string(payload.c_str()); }

// A Service Loading href names a server: a scheme, "://" and a host, and
// no blank or control character anywhere (the path goes into a request).
bool isUrl(const std::string& href) {
  for (unsigned char c : href) {
    if (c <= 0x20 || c == 0x7f) return false;
  }
  const std::string::size_type mark = href.find("://");
  if (mark == std::string::npos || mark == 0 || href.find('/') != mark + 1) return false;
  for (std::string::size_type i = 0; i < mark; ++i) {
    const unsigned char c = static_cast<unsigned char>(href[i]);
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return false;
  }
  std::string rest, scheme;
  splitScheme(href, rest, scheme);
  return !hostOf(rest).empty();
}

}  // namespace

Flp1xProtocol::Flp1xProtocol() : Protocol(kRunning), mContentUpdater("container1") {}

Flp1xProtocol::~Flp1xProtocol() = default;

ProtocolResponse Flp1xProtocol::handleRequest(ProtocolRequest* request) {
  ProtocolResponse response = mContentUpdater.update(request);
  QV_LOG(3, "handleRequest complate!");
  return response;
}

bool Flp1xProtocol::cancel() {
  mContentUpdater.cancel();
  return true;
}

bool Flp1xProtocol::handleMessage(PushMessage* message) {
  if (message == nullptr) {
    QV_LOG(3, "Message is empty!");
    return false;
  }
  PushPlan plan;
  if (!readPush(message->getContentType(), message->getPayload(), plan)) return false;
  if (plan.kind == PushPlan::SERVICE_LOADING) {
    mContentUpdater.setNextUri(plan.nextPath);
    ProtocolRequest request(ProtocolRequest::SERVER);
    request.setProtocolVersion(message->getProtocolVersion());
    // Its status events go out as usual; the answer to the push is the
    // service application's.
    handleRequest(&request);
    return true;
  }
  applyProvisioning(plan);
  return true;
}

void Flp1xProtocol::applyProvisioning(const PushPlan& plan) {
  Flp1xPlatformWrapper* wrapper = Flp1xPlatformWrapper::getInstance();
  if (plan.switchOn) wrapper->enterNormalMode();
  if (plan.switchOff) wrapper->enterHiddenMode();
  if (plan.serverUrl) wrapper->setServerUrl(*plan.serverUrl);
  if (plan.startPage) wrapper->setChannelUrls(*plan.startPage);
}

bool Flp1xProtocol::looksLikeWbxml(const std::string& payload) {
  // WBXML opens with its version (0x00 for 1.0 up to 0x03 for 1.3); XML text
  // opens with "<", white space or a byte order mark.
  return !payload.empty() && static_cast<unsigned char>(payload[0]) <= 0x03;
}

bool Flp1xProtocol::decodeWbxml(const std::string& payload, std::string& xml, WbxmlDocument kind) {
  xml.clear();
  if (payload.size() > kMaxWbxmlBytes) {
    QV_LOG(3, "WBXML push of %zu bytes refused: more than %zu.\n", payload.size(), kMaxWbxmlBytes);
    return false;
  }
  if (!WbxmlScan(payload).wellFormed()) {
    QV_LOG(3, "The WBXML push does not decode: it is not well-formed.\n");
    return false;
  }
  WBXMLConvWBXML2XML* made = nullptr;
  WBXMLError rc = wbxml_conv_wbxml2xml_create(&made);
  std::unique_ptr<WBXMLConvWBXML2XML, WbxmlDecoderDeleter> decoder(made);
  if (rc != WBXML_OK || !decoder) {
    QV_LOG(3, "Unable to create the WBXML decoder: %s\n", reinterpret_cast<const char*>(wbxml_errors_string(rc)));
    return false;
  }
  wbxml_conv_wbxml2xml_set_gen_type(decoder.get(), WBXML_GEN_XML_COMPACT);
  // A document that names no known public id is read as the kind its
  // content type announced.
  wbxml_conv_wbxml2xml_set_language(decoder.get(),
                                    kind == WbxmlDocument::SERVICE_LOADING ? WBXML_LANG_SL10 : WBXML_LANG_PROV10);
  wbxml_conv_wbxml2xml_set_charset(decoder.get(), WBXML_CHARSET_UTF_8);

  std::vector<WB_UTINY> input(payload.begin(), payload.end());
  WB_UTINY* decoded = nullptr;
  WB_ULONG decodedLength = 0;
  rc = wbxml_conv_wbxml2xml_run(decoder.get(), input.data(), static_cast<WB_ULONG>(input.size()), &decoded,
                                &decodedLength);
  std::unique_ptr<WB_UTINY, WbxmlBufferDeleter> output(decoded);
  if (rc != WBXML_OK || !output) {
    QV_LOG(3, "The WBXML push does not decode: %s\n", reinterpret_cast<const char*>(wbxml_errors_string(rc)));
    return false;
  }
  if (decodedLength > kMaxDecodedBytes) {
    QV_LOG(3, "The WBXML push decodes to %lu bytes, more than %zu: refused.\n",
           static_cast<unsigned long>(decodedLength), kMaxDecodedBytes);
    return false;
  }
  xml.assign(reinterpret_cast<const char*>(output.get()), decodedLength);
  return true;
}

bool Flp1xProtocol::readPush(const std::string& contentType, const std::string& payload, PushPlan& plan) {
  plan = PushPlan();
  QV_LOG(3, "Looking at message with content-type %s", contentType.c_str());
  const MediaType media = readMediaType(contentType);
  if (!media.securityParameter.empty()) {
    QV_LOG(3, "The push asks for a %s check of its sender, which this service cannot make. Refused.",
           media.securityParameter.c_str());
    return false;
  }
  const std::string& type = media.essence;
  const bool wbxmlType = type == kProvisioningWbxmlType;
  const bool slcType = type == kServiceLoadingWbxmlType;
  const bool binary = (wbxmlType || slcType) && looksLikeWbxml(payload);
  const std::string text = textOf(payload);
  if (text.empty() && !binary) {
    QV_LOG(3, "Message is empty!");
    return false;
  }
  if (type == kServiceLoadingType) return readServiceLoading(text, plan);
  if (type == kProvisioningXmlType) return readProvisioning(text, plan);
  if (wbxmlType) {
    if (!binary) return readProvisioning(text, plan);
    std::string xml;
    if (!decodeWbxml(payload, xml)) return false;
    return readProvisioning(textOf(xml), plan);
  }
  if (slcType) {
    if (!binary) {
      QV_LOG(3, "The tokenized Service Loading push is not WBXML.");
      return false;
    }
    std::string xml;
    if (!decodeWbxml(payload, xml, WbxmlDocument::SERVICE_LOADING)) return false;
    return readServiceLoading(textOf(xml), plan);
  }
  QV_LOG(3, "Not find the content type!");
  return false;
}

bool Flp1xProtocol::readServiceLoading(const std::string& text, PushPlan& plan) {
  SlElement sl;
  std::string error;
  if (!XMLParser().parse(text, sl, error) || !sl.href()) {
    QV_LOG(3, "Parser Service Loading msg error! (%s)", error.c_str());
    return false;
  }
  const std::string& href = *sl.href();
  if (!isUrl(href)) {
    QV_LOG(3, "Service Loading href is not a URL: %s", href.c_str());
    return false;
  }
  std::string rest, scheme;
  splitScheme(href, rest, scheme);
  plan.kind = PushPlan::SERVICE_LOADING;
  plan.nextPath = pathOf(rest);
  return true;
}

bool Flp1xProtocol::readProvisioning(const std::string& text, PushPlan& plan) {
  WapProvisioningDocElement doc;
  std::string error;
  if (!XMLParser().parse(text, doc, error)) {
    QV_LOG(3, "Parser wap push msg error! (%s)", text.c_str());
    return false;
  }
  if (doc.characteristics().empty()) {
    QV_LOG(3, "Error, Not find Characteristic in WapProv!");
    return false;
  }
  const CharacteristicElement& first = *doc.characteristics().front();
  if (first.parms().empty()) {
    QV_LOG(3, "Error! Not find params in chara...!");
    QV_LOG(3, "Handle On Off error!");
    return false;
  }
  plan.kind = PushPlan::PROVISIONING;
  // On and off: in document order, an "OFF" ends the walk. Switching on
  // twice is switching on once.
  for (const auto& parm : first.parms()) {
    if (parm->parmName().value_or(std::string()) != "APROTOCOL") continue;
    if (parm->value().value_or(std::string()) == "OFF") {
      plan.switchOff = true;
      break;
    }
    plan.switchOn = true;
  }
  // Resources: each one writes the server URL or the channel URLs; only the
  // last value of each lasts, so only that one is written.
  for (const auto& nested : first.characteristics()) {
    if (nested->type().value_or(std::string()) != "RESOURCE") continue;
    std::string value;
    bool isServerUrl = false;
    for (const auto& parm : nested->parms()) {
      const std::string& name = parm->parmName().value_or(std::string());
      if (name != "URI" && name != "STARTPAGE") continue;
      if (name == "URI") isServerUrl = true;
      // STARTPAGE is a flag without a value in standard documents: a parm
      // without a value leaves the value already chosen.
      const std::string& given = parm->value().value_or(std::string());
      if (!given.empty()) value = given;
    }
    if (value.empty()) {
      QV_LOG(3, "A RESOURCE of the provisioning document gives no URL. Keeping the stored one.");
    } else if (isServerUrl) {
      plan.serverUrl = value;
    } else {
      plan.startPage = value;
    }
  }
  return true;
}
