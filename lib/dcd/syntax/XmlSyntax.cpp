#include "syntax/XmlSyntax.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlreader.h>

#include <climits>
#include <cstring>
#include <functional>
#include <mutex>
#include <sstream>

#include "platform/Log.h"
#include "platform/Types.h"

namespace {

using namespace txn;

// --- libxml2 resources ----------------------------------------------------

struct ReaderDeleter {
  void operator()(xmlTextReader* reader) const { xmlFreeTextReader(reader); }
};
struct XmlCharDeleter {
  void operator()(xmlChar* text) const { xmlFree(text); }
};
struct BufferDeleter {
  void operator()(xmlBuffer* buffer) const { xmlBufferFree(buffer); }
};
using ReaderPtr = std::unique_ptr<xmlTextReader, ReaderDeleter>;
using XmlCharPtr = std::unique_ptr<xmlChar, XmlCharDeleter>;
using BufferPtr = std::unique_ptr<xmlBuffer, BufferDeleter>;

// The reader with the first parse error it reported.
struct Reader {
  xmlTextReaderPtr r = nullptr;
  std::string error;
  int errorLine = 0;
};

void collectXmlError(void* userData, xmlErrorPtr error) {
  auto* reader = static_cast<Reader*>(userData);
  if (reader == nullptr || error == nullptr || error->level < XML_ERR_ERROR || !reader->error.empty()) return;
  reader->error = error->message != nullptr ? error->message : "unknown error";
  while (!reader->error.empty() && (reader->error.back() == '\n' || reader->error.back() == '\r')) {
    reader->error.pop_back();
  }
  reader->errorLine = error->line;
}

const char* nodeName(Reader& reader) {
  const xmlChar* name = xmlTextReaderConstName(reader.r);
  return name != nullptr ? reinterpret_cast<const char*>(name) : "";
}

bool isNamed(Reader& reader, const char* name) { return std::strcmp(nodeName(reader), name) == 0; }

// Advances the reader; false (logged) when the document fails or ends.
bool advance(Reader& reader, const char* inside) {
  int ret = xmlTextReaderRead(reader.r);
  if (ret == 1) return true;
  if (ret < 0) {
    QV_LOG(3, "Unable to read the XML data block inside the element %s (line %d): %s", inside, reader.errorLine,
           reader.error.empty() ? "malformed document" : reader.error.c_str());
  } else {
    QV_LOG(3, "The XML data block ended inside the element %s.", inside);
  }
  return false;
}

// --- attribute readers ----------------------------------------------------

std::unique_ptr<std::string> attribute(Reader& reader, const char* name) {
  XmlCharPtr value(xmlTextReaderGetAttribute(reader.r, reinterpret_cast<const xmlChar*>(name)));
  if (!value) return nullptr;
  return std::unique_ptr<std::string>(new std::string(reinterpret_cast<const char*>(value.get())));
}

std::unique_ptr<std::string> requiredAttribute(Reader& reader, const char* name) {
  std::unique_ptr<std::string> value = attribute(reader, name);
  if (!value) QV_LOG(3, "Missing required attribute, %s", name);
  return value;
}

// A decimal number in the 32-bit range; false leaves the field absent.
bool parseInt(const std::string& text, int32_t& out) {
  long value = 0;
  if (!MString::toInt(text, value) || value < INT32_MIN || value > INT32_MAX) return false;
  out = static_cast<int32_t>(value);
  return true;
}

template <class Setter>
void intAttribute(Reader& reader, const char* name, Setter set) {
  std::unique_ptr<std::string> value = attribute(reader, name);
  int32_t number = 0;
  if (value && parseInt(*value, number)) set(number);
}

template <class Setter>
void stringAttribute(Reader& reader, const char* name, Setter set) {
  std::unique_ptr<std::string> value = attribute(reader, name);
  if (value) set(*value);
}

// The required status-code attribute "code".
const StatusCode* codeAttribute(Reader& reader) {
  std::unique_ptr<std::string> value = attribute(reader, "code");
  int32_t number = 0;
  if (!value || !parseInt(*value, number)) {
    QV_LOG(3, "Missing required attribute, code");
    return nullptr;
  }
  const StatusCode* code = StatusCode::fromCode(number);
  if (code == nullptr) QV_LOG(3, "Unable to convert integer %d to a status code", number);
  return code;
}

// Text of the current element: the last text node directly inside it.
// False when the document fails; value is empty (logged) when it has none.
bool elementText(Reader& reader, std::string& value) {
  value.clear();
  bool found = false;
  int depth = xmlTextReaderDepth(reader.r);
  if (xmlTextReaderIsEmptyElement(reader.r) != 1) {
    std::string name = nodeName(reader);
    for (;;) {
      if (!advance(reader, name.c_str())) return false;
      int d = xmlTextReaderDepth(reader.r);
      if (d == depth) break;
      if (d == depth + 1 && xmlTextReaderNodeType(reader.r) == XML_READER_TYPE_TEXT) {
        const xmlChar* text = xmlTextReaderConstValue(reader.r);
        value = text != nullptr ? reinterpret_cast<const char*>(text) : "";
        found = true;
      }
    }
  }
  if (!found) QV_LOG(3, "No value for this element");
  return true;
}

// --- converters -----------------------------------------------------------

class XmlPrimitive {
 public:
  virtual ~XmlPrimitive() = default;

  // Walks the element the reader stands on: its attributes, then its direct
  // children and text, until its end.
  virtual bool read(Primitive& p, Reader& reader) const;
  virtual bool write(const Primitive& p, std::ostream& out) const = 0;
  // A child element start. The base keeps ext-blocks and ignores the rest.
  virtual bool onElement(Primitive& p, Reader& reader) const { return readExtBlock(p, reader); }
  virtual bool readAttributes(Primitive&, Reader&) const { return true; }
  virtual bool onText(Primitive&, Reader&) const { return true; }
  virtual bool finish(Primitive&) const { return true; }

 protected:
  // Stores an ext-block element verbatim; true for any other element.
  static bool readExtBlock(Primitive& p, Reader& reader);
};

// Looks up converters (defined below).
const XmlPrimitive* converterForType(const std::string& type);

bool XmlPrimitive::read(Primitive& p, Reader& reader) const {
  int depth = xmlTextReaderDepth(reader.r);
  std::string name = nodeName(reader);
  if (depth < 0 || depth > XmlSyntax::kMaxDepth) {
    QV_LOG(3, "The element %s is nested deeper than %d levels. Refusing it.", name.c_str(), XmlSyntax::kMaxDepth);
    return false;
  }
  if (!readAttributes(p, reader)) return false;
  // A self-closing element has no end node: it ends here.
  if (xmlTextReaderIsEmptyElement(reader.r) == 1) return finish(p);
  for (;;) {
    if (!advance(reader, name.c_str())) return false;
    int d = xmlTextReaderDepth(reader.r);
    if (d == depth) return finish(p);
    if (d != depth + 1) continue;
    int type = xmlTextReaderNodeType(reader.r);
    if (type == XML_READER_TYPE_TEXT) {
      if (!onText(p, reader)) return false;
    } else if (type == XML_READER_TYPE_ELEMENT) {
      if (!onElement(p, reader)) return false;
    }
  }
}

bool XmlPrimitive::readExtBlock(Primitive& p, Reader& reader) {
  if (!isNamed(reader, "ext-block")) return true;
  xmlNodePtr node = xmlTextReaderExpand(reader.r);
  if (node == nullptr) {
    QV_LOG(3, "Unable to get ext-block node. Aborting.");
    return false;
  }
  BufferPtr buffer(xmlBufferCreate());
  if (!buffer || xmlNodeDump(buffer.get(), node->doc, node, 0, 0) == -1) {
    QV_LOG(3, "Unable to read contents of ext-block node.");
    return false;
  }
  int length = xmlBufferLength(buffer.get());
  p.setExtBlock(std::unique_ptr<ExtBlock>(new ExtBlock(reinterpret_cast<const char*>(xmlBufferContent(buffer.get())),
                                                       length > 0 ? static_cast<std::size_t>(length) : 0)));
  QV_LOG(8, "Copied an ext-block of size %d to this Primitive.", length);
  return true;
}

// Reads the child element into a new T with its converter; null on failure.
template <class T>
std::unique_ptr<T> readChild(Reader& reader, const XmlPrimitive& converter) {
  std::unique_ptr<T> child(new T());
  if (!converter.read(*child, reader)) return nullptr;
  return child;
}

// --- writing helpers ------------------------------------------------------

std::string escape(const std::string& text) {
  if (text.find_first_of("&<>\"") == std::string::npos) return text;
  std::string out;
  out.reserve(text.size() + 16);
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c; break;
    }
  }
  return out;
}

// " name=\"value\" " when the value is present.
void pair(std::ostream& out, const char* name, const std::string* value) {
  if (value != nullptr) out << " " << name << "=\"" << escape(*value) << "\" ";
}

void pair(std::ostream& out, const char* name, const int32_t* value) {
  if (value != nullptr) out << " " << name << "=\"" << *value << "\" ";
}

const std::string& valueOrEmpty(const std::string* value) {
  static const std::string empty;
  return value != nullptr ? *value : empty;
}

bool writeWith(const char* type, const Primitive& p, std::ostream& out) {
  const XmlPrimitive* converter = converterForType(type);
  return converter != nullptr && converter->write(p, out);
}

void writeHead(const Request& request, std::ostream& out) {
  out << "<dcd ";
  pair(out, "sid", request.getSessionId());
  pair(out, "tid", request.getTransactionId());
  pair(out, "device-type", request.getDeviceType());
  pair(out, "subscriber-id", request.getSubscriberId());
  out << " version=\"" << kDcdVersion << "\" " << ">\n";
}

void readRequestAttributes(Request& request, Reader& reader) {
  stringAttribute(reader, "sid", [&](const std::string& v) { request.setSessionId(v); });
  stringAttribute(reader, "tid", [&](const std::string& v) { request.setTransactionId(v); });
}

void readResponseAttributes(Response& response, Reader& reader) {
  stringAttribute(reader, "sid", [&](const std::string& v) { response.setSessionId(v); });
  stringAttribute(reader, "tid", [&](const std::string& v) { response.setTransactionId(v); });
}

void readAbstractContentAttributes(AbstractContent& content, Reader& reader) {
  stringAttribute(reader, "id", [&](const std::string& v) { content.setId(v); });
  stringAttribute(reader, "name", [&](const std::string& v) { content.setName(v); });
  stringAttribute(reader, "sync-anchor", [&](const std::string& v) { content.setSyncAnchor(v); });
  intAttribute(reader, "priority", [&](int32_t v) { content.setPriority(v); });
  intAttribute(reader, "display-timer", [&](int32_t v) { content.setDisplayTimer(v); });
  stringAttribute(reader, "container", [&](const std::string& v) { content.setContainer(v); });
  stringAttribute(reader, "href", [&](const std::string& v) { content.setHref(v); });
  stringAttribute(reader, "connection-profile", [&](const std::string& v) { content.setConnectionProfile(v); });
}

void writeAbstractContentPairs(const AbstractContent& content, std::ostream& out) {
  pair(out, "id", content.getId());
  pair(out, "name", content.getName());
  pair(out, "sync-anchor", content.getSyncAnchor());
  pair(out, "priority", content.getPriority());
  pair(out, "display-timer", content.getDisplayTimer());
  pair(out, "container", content.getContainer());
  pair(out, "href", content.getHref());
  pair(out, "connection-profile", content.getConnectionProfile());
}

bool writePropertySet(const PropertySet& set, const char* elementName, std::ostream& out);

// Lifespan, then meta-data.
bool writeAbstractContentChildren(const AbstractContent& content, std::ostream& out) {
  if (content.getLifespan() != nullptr && !writeWith("Lifespan", *content.getLifespan(), out)) {
    QV_LOG(3, "Unable to unmarshall a Lifespan primitive. Aborting");
    return false;
  }
  if (content.getMetaData() != nullptr && !writePropertySet(*content.getMetaData(), "meta-data", out)) {
    QV_LOG(3, "Unable to unmarshall a meta-data primitive. Aborting");
    return false;
  }
  return true;
}

template <class T>
bool writeList(const char* type, const std::vector<std::unique_ptr<T>>& values, std::ostream& out) {
  for (const auto& value : values) {
    if (!writeWith(type, *value, out)) {
      QV_LOG(3, "Unable to unmarshall a content");
      return false;
    }
  }
  return true;
}

bool writePropertySet(const PropertySet& set, const char* elementName, std::ostream& out) {
  if (!set.isValid()) {
    QV_LOG(3, "Invalid PropertySet primitive");
    return false;
  }
  out << "<" << elementName << ">\n";
  for (const auto& nested : set.getPropertySets()) {
    if (!writePropertySet(*nested, "property-set", out)) {
      QV_LOG(3, "Unable to unmarshall property-set");
      return false;
    }
  }
  for (const auto& property : set.getProperties()) {
    out << "<property key=\"" << escape(property.first) << "\">" << escape(property.second) << "</property>\n";
  }
  out << "</" << elementName << ">\n";
  return true;
}

bool refuseResponse() {
  QV_LOG(3,
         "Response subclasses do not support unmarshalling. One can not convert a txn::Response instance to a XML "
         "snippet.");
  return false;
}

// Keeps an ext-block, then hands the other children to handle.
#define QV_OFFER_EXT_BLOCK(p, reader)                     \
  do {                                                    \
    if (isNamed(reader, "ext-block")) return readExtBlock(p, reader); \
  } while (0)

// --- parts ----------------------------------------------------------------

class XmlLifespan : public XmlPrimitive {
 public:
  bool write(const Primitive& primitive, std::ostream& out) const override {
    const auto& p = static_cast<const Lifespan&>(primitive);
    if (!p.isValid()) {
      QV_LOG(3, "Invalid lifespan primitive.");
      return false;
    }
    out << "<lifespan>\n";
    if (p.getActivation() != nullptr) out << "<activation>" << escape(*p.getActivation()) << "</activation>\n";
    if (p.getExpiration() != nullptr) out << "<expiration>" << escape(*p.getExpiration()) << "</expiration>\n";
    if (p.getLifetime() != nullptr) out << "<lifetime>" << *p.getLifetime() << "</lifetime>\n";
    out << "</lifespan>\n";
    return true;
  }
  bool onElement(Primitive& primitive, Reader& reader) const override {
    auto& p = static_cast<Lifespan&>(primitive);
    const char* name = nodeName(reader);
    const char* which = std::strcmp(name, "lifetime") == 0     ? "lifetime"
                        : std::strcmp(name, "activation") == 0 ? "activation"
                        : std::strcmp(name, "expiration") == 0 ? "expiration"
                                                               : nullptr;
    if (which == nullptr) return true;
    std::string value;
    if (!elementText(reader, value)) return false;
    if (value.empty()) {
      QV_LOG(3, "No value for this %s element.Skipping.", which);
      return false;
    }
    if (which[0] == 'l') {
      int32_t lifetime = 0;
      if (parseInt(value, lifetime)) p.setLifetime(lifetime);
    } else if (which[0] == 'a') {
      p.setActivation(value);
    } else {
      p.setExpiration(value);
    }
    return true;
  }
};

class XmlUpdateSchedule : public XmlPrimitive {
 public:
  bool write(const Primitive& primitive, std::ostream& out) const override {
    const auto& p = static_cast<const UpdateSchedule&>(primitive);
    if (!p.isValid()) {
      QV_LOG(3, "Invalid update-schedule primitive.");
      return false;
    }
    out << "<update-schedule>\n";
    for (const auto& time : p.getTimes()) out << "<time>" << escape(time) << "</time>\n";
    out << "</update-schedule>\n";
    return true;
  }
  bool onElement(Primitive& primitive, Reader& reader) const override {
    QV_OFFER_EXT_BLOCK(primitive, reader);
    if (!isNamed(reader, "time")) return true;
    std::string value;
    if (!elementText(reader, value)) return false;
    if (value.empty()) {
      QV_LOG(3, "No value for this time element.Skipping.");
      return false;
    }
    static_cast<UpdateSchedule&>(primitive).addTime(value);
    return true;
  }
};

class XmlPropertySet : public XmlPrimitive {
 public:
  virtual const char* elementName() const { return "property-set"; }
  bool write(const Primitive& primitive, std::ostream& out) const override {
    return writePropertySet(static_cast<const PropertySet&>(primitive), elementName(), out);
  }
  bool onElement(Primitive& primitive, Reader& reader) const override {
    QV_OFFER_EXT_BLOCK(primitive, reader);
    auto& p = static_cast<PropertySet&>(primitive);
    if (isNamed(reader, "property-set")) {
      std::unique_ptr<PropertySet> nested = readChild<PropertySet>(reader, *this);
      if (!nested) return false;
      p.addPropertySet(std::move(nested));
      return true;
    }
    if (!isNamed(reader, "property")) return true;
    std::unique_ptr<std::string> key = attribute(reader, "key");
    if (!key) return false;
    std::string value;
    if (!elementText(reader, value)) return false;
    if (value.empty()) {
      QV_LOG(3, "The key, %s, has no value. Not adding this property.", key->c_str());
      return true;
    }
    p.setProperty(*key, value);
    return true;
  }
};

class XmlMetaData : public XmlPropertySet {
 public:
  const char* elementName() const override { return "meta-data"; }
};

const XmlPropertySet gPropertySet;
const XmlMetaData gMetaData;

class XmlDetail : public XmlPrimitive {
 public:
  bool write(const Primitive& primitive, std::ostream& out) const override {
    const auto& p = static_cast<const Detail&>(primitive);
    if (!p.isValid()) {
      QV_LOG(3, "Invalid Detail primitive");
      return false;
    }
    out << "<detail code=\"" << p.getCode()->code() << "\" ";
    if (p.getDescription() != nullptr) out << "description=\"" << escape(*p.getDescription()) << "\" ";
    if (p.getId() != nullptr) out << "id=\"" << escape(*p.getId()) << "\" ";
    out << ">\n";
    if (p.getPropertySet() != nullptr && !writePropertySet(*p.getPropertySet(), "property-set", out)) return false;
    out << "</detail>\n";
    return true;
  }
  bool readAttributes(Primitive& primitive, Reader& reader) const override {
    auto& p = static_cast<Detail&>(primitive);
    const StatusCode* code = codeAttribute(reader);
    if (code == nullptr) return false;
    p.setCode(code);
    stringAttribute(reader, "description", [&](const std::string& v) { p.setDescription(v); });
    stringAttribute(reader, "id", [&](const std::string& v) { p.setId(v); });
    return true;
  }
  bool onElement(Primitive& primitive, Reader& reader) const override {
    QV_OFFER_EXT_BLOCK(primitive, reader);
    if (!isNamed(reader, "property-set")) return true;
    std::unique_ptr<PropertySet> set = readChild<PropertySet>(reader, gPropertySet);
    if (!set) return false;
    static_cast<Detail&>(primitive).setPropertySet(std::move(set));
    return true;
  }
};

const XmlDetail gDetail;

class XmlDetails : public XmlPrimitive {
 public:
  bool write(const Primitive& primitive, std::ostream& out) const override {
    const auto& p = static_cast<const Details&>(primitive);
    if (!p.isValid()) {
      QV_LOG(3, "Invalid Details primitive");
      return false;
    }
    out << "<details>\n";
    for (const auto& detail : p.getDetails()) {
      if (!gDetail.write(*detail, out)) {
        QV_LOG(3, "Unable to unmarshall a Detail element. Aborting.");
        return false;
      }
    }
    out << "</details>\n";
    return true;
  }
  bool onElement(Primitive& primitive, Reader& reader) const override {
    QV_OFFER_EXT_BLOCK(primitive, reader);
    if (!isNamed(reader, "detail")) return true;
    std::unique_ptr<Detail> detail = readChild<Detail>(reader, gDetail);
    if (!detail) return false;
    static_cast<Details&>(primitive).addDetail(std::move(detail));
    return true;
  }
};

const XmlDetails gDetails;

class XmlResult : public XmlPrimitive {
 public:
  bool write(const Primitive& primitive, std::ostream& out) const override {
    const auto& p = static_cast<const Result&>(primitive);
    if (!p.isValid()) {
      QV_LOG(3, "Invalid Result primitive");
      return false;
    }
    out << "<result code=\"" << p.getCode()->code() << "\" ";
    if (p.getDescription() != nullptr) out << "description=\"" << escape(*p.getDescription()) << "\" ";
    out << ">\n";
    if (p.getDetails() != nullptr && !gDetails.write(*p.getDetails(), out)) return false;
    out << "</result>\n";
    return true;
  }
  bool readAttributes(Primitive& primitive, Reader& reader) const override {
    auto& p = static_cast<Result&>(primitive);
    const StatusCode* code = codeAttribute(reader);
    if (code == nullptr) return false;
    p.setCode(code);
    stringAttribute(reader, "description", [&](const std::string& v) { p.setDescription(v); });
    return true;
  }
  bool onElement(Primitive& primitive, Reader& reader) const override {
    QV_OFFER_EXT_BLOCK(primitive, reader);
    if (!isNamed(reader, "details")) return true;
    std::unique_ptr<Details> details = readChild<Details>(reader, gDetails);
    if (!details) return false;
    static_cast<Result&>(primitive).setDetails(std::move(details));
    return true;
  }
};

const XmlResult gResult;
const XmlLifespan gLifespan;
const XmlUpdateSchedule gUpdateSchedule;

// Children shared by contents and content sets: meta-data and lifespan.
// handled is set when the element was one of them.
bool readAbstractContentChild(AbstractContent& p, Reader& reader, bool& handled) {
  handled = true;
  if (isNamed(reader, "meta-data")) {
    std::unique_ptr<PropertySet> meta = readChild<PropertySet>(reader, gMetaData);
    if (!meta) return false;
    p.setMetaData(std::move(meta));
    return true;
  }
  if (isNamed(reader, "lifespan")) {
    std::unique_ptr<Lifespan> lifespan = readChild<Lifespan>(reader, gLifespan);
    if (!lifespan) return false;
    p.setLifespan(std::move(lifespan));
    return true;
  }
  handled = false;
  return true;
}

class XmlContent : public XmlPrimitive {
 public:
  bool write(const Primitive& primitive, std::ostream& out) const override {
    const auto& p = static_cast<const Content&>(primitive);
    if (!p.isValid()) {
      QV_LOG(3, "Invalid content primitive.");
      return false;
    }
    out << "<content ";
    writeAbstractContentPairs(p, out);
    pair(out, "content-id", p.getContentId());
    pair(out, "content-type", p.getContentType());
    out << ">\n";
    if (p.getContentValue() != nullptr) out << escape(*p.getContentValue());
    if (!writeAbstractContentChildren(p, out)) {
      QV_LOG(3, "Unable to unmarshall children of content");
      return false;
    }
    out << "</content>\n";
    return true;
  }
  bool readAttributes(Primitive& primitive, Reader& reader) const override {
    auto& p = static_cast<Content&>(primitive);
    readAbstractContentAttributes(p, reader);
    stringAttribute(reader, "content-id", [&](const std::string& v) { p.setContentId(v); });
    stringAttribute(reader, "content-type", [&](const std::string& v) { p.setContentType(v); });
    return true;
  }
  bool onElement(Primitive& primitive, Reader& reader) const override {
    QV_OFFER_EXT_BLOCK(primitive, reader);
    bool handled = false;
    return readAbstractContentChild(static_cast<Content&>(primitive), reader, handled);
  }
  bool onText(Primitive& primitive, Reader& reader) const override {
    const xmlChar* text = xmlTextReaderConstValue(reader.r);
    static_cast<Content&>(primitive).setContentValue(text != nullptr ? reinterpret_cast<const char*>(text) : "");
    return true;
  }
};

const XmlContent gContent;

class XmlContentSet : public XmlPrimitive {
 public:
  bool write(const Primitive& primitive, std::ostream& out) const override {
    const auto& p = static_cast<const ContentSet&>(primitive);
    if (!p.isValid()) return false;
    out << "<content-set ";
    writeAbstractContentPairs(p, out);
    pair(out, "bundle-id", p.getBundleId());
    pair(out, "order", p.getOrder());
    if (p.getAbsentMode() != nullptr) out << " absent-mode=\"" << escape(p.getAbsentMode()->name()) << "\" ";
    pair(out, "update-ttl", p.getUpdateTtl());
    out << ">\n";
    if (!writeList("ContentSet", p.getContentSets(), out) || !writeList("Content", p.getContents(), out)) return false;
    if (!writeAbstractContentChildren(p, out)) return false;
    out << "</content-set>\n";
    return true;
  }
  bool readAttributes(Primitive& primitive, Reader& reader) const override {
    auto& p = static_cast<ContentSet&>(primitive);
    readAbstractContentAttributes(p, reader);
    stringAttribute(reader, "bundle-id", [&](const std::string& v) { p.setBundleId(v); });
    stringAttribute(reader, "absent-mode", [&](const std::string& v) { p.setAbsentMode(AbsentMode::fromString(v)); });
    intAttribute(reader, "order", [&](int32_t v) { p.setOrder(v); });
    intAttribute(reader, "update-ttl", [&](int32_t v) { p.setUpdateTtl(v); });
    return true;
  }
  bool onElement(Primitive& primitive, Reader& reader) const override {
    QV_OFFER_EXT_BLOCK(primitive, reader);
    auto& p = static_cast<ContentSet&>(primitive);
    bool handled = false;
    if (!readAbstractContentChild(p, reader, handled)) return false;
    if (handled) return true;
    if (isNamed(reader, "content-set")) {
      std::unique_ptr<ContentSet> set = readChild<ContentSet>(reader, *this);
      if (!set) return false;
      p.addContentSet(std::move(set));
    } else if (isNamed(reader, "content")) {
      std::unique_ptr<Content> content = readChild<Content>(reader, gContent);
      if (!content) return false;
      p.addContent(std::move(content));
    } else if (isNamed(reader, "update-schedule")) {
      std::unique_ptr<UpdateSchedule> schedule = readChild<UpdateSchedule>(reader, gUpdateSchedule);
      if (!schedule) return false;
      p.setUpdateSchedule(std::move(schedule));
    }
    return true;
  }
};

const XmlContentSet gContentSet;

class XmlApplication : public XmlPrimitive {
 public:
  bool write(const Primitive& primitive, std::ostream& out) const override {
    const auto& p = static_cast<const Application&>(primitive);
    if (!p.isValid()) return false;
    // The engine always sets id, name and sync anchor; a missing one is
    // written empty.
    out << "<application id=\"" << escape(valueOrEmpty(p.getId())) << "\" ";
    out << "name=\"" << escape(valueOrEmpty(p.getName())) << "\" ";
    out << "sync-anchor=\"" << escape(valueOrEmpty(p.getSyncAnchor())) << "\" ";
    if (p.getAbsentMode() != nullptr) out << "absent-mode=\"" << escape(p.getAbsentMode()->name()) << "\" ";
    pair(out, "update-ttl", p.getUpdateTtl());
    out << ">\n";
    if (p.getMetaData() != nullptr && !writePropertySet(*p.getMetaData(), "meta-data", out)) {
      QV_LOG(3, "Unable to unmarshall a PropertySet primitive. Aborting");
      return false;
    }
    if (!writeList("ContentSet", p.getContentSets(), out) || !writeList("Content", p.getContents(), out)) return false;
    out << "</application>\n";
    return true;
  }
  bool readAttributes(Primitive& primitive, Reader& reader) const override {
    auto& p = static_cast<Application&>(primitive);
    std::unique_ptr<std::string> id = requiredAttribute(reader, "id");
    if (!id) return false;
    std::unique_ptr<std::string> name = requiredAttribute(reader, "name");
    if (!name) return false;
    std::unique_ptr<std::string> anchor = requiredAttribute(reader, "sync-anchor");
    if (!anchor) return false;
    p.setId(*id);
    p.setName(*name);
    p.setSyncAnchor(*anchor);
    intAttribute(reader, "update-ttl", [&](int32_t v) { p.setUpdateTtl(v); });
    stringAttribute(reader, "absent-mode", [&](const std::string& v) { p.setAbsentMode(AbsentMode::fromString(v)); });
    return true;
  }
  bool onElement(Primitive& primitive, Reader& reader) const override {
    QV_OFFER_EXT_BLOCK(primitive, reader);
    auto& p = static_cast<Application&>(primitive);
    if (isNamed(reader, "meta-data")) {
      std::unique_ptr<PropertySet> meta = readChild<PropertySet>(reader, gMetaData);
      if (!meta) return false;
      p.setMetaData(std::move(meta));
    } else if (isNamed(reader, "content-set")) {
      std::unique_ptr<ContentSet> set = readChild<ContentSet>(reader, gContentSet);
      if (!set) return false;
      p.addContentSet(std::move(set));
    } else if (isNamed(reader, "content")) {
      std::unique_ptr<Content> content = readChild<Content>(reader, gContent);
      if (!content) return false;
      p.addContent(std::move(content));
    }
    return true;
  }
};

const XmlApplication gApplication;

class XmlNotify : public XmlPrimitive {
 public:
  bool write(const Primitive& primitive, std::ostream& out) const override {
    const auto& p = static_cast<const Notify&>(primitive);
    if (!p.isValid()) {
      QV_LOG(3, "Invalid notify primitive");
      return false;
    }
    out << "<notify ";
    pair(out, "client-token", p.getClientToken());
    pair(out, "href", p.getHref());
    pair(out, "connection-profile", p.getConnectionProfile());
    out << " action=\"" << escape(p.getAction()->name()) << "\" " << ">\n";
    if (!writeList("ContentSet", p.getContentSets(), out) || !writeList("Content", p.getContents(), out)) return false;
    if (p.getDetails() != nullptr && !gDetails.write(*p.getDetails(), out)) {
      QV_LOG(3, "Unable to unmarshall a Details primitive. Aborting");
      return false;
    }
    out << "</notify>\n";
    return true;
  }
  bool readAttributes(Primitive& primitive, Reader& reader) const override {
    auto& p = static_cast<Notify&>(primitive);
    stringAttribute(reader, "client-token", [&](const std::string& v) { p.setClientToken(v); });
    stringAttribute(reader, "href", [&](const std::string& v) { p.setHref(v); });
    stringAttribute(reader, "connection-profile", [&](const std::string& v) { p.setConnectionProfile(v); });
    std::unique_ptr<std::string> action = requiredAttribute(reader, "action");
    if (!action) return false;
    const NotifyAction* value = NotifyAction::fromString(*action);
    if (value == nullptr) {
      QV_LOG(3, "Unable to convert this value %s to a valid action.", action->c_str());
      return false;
    }
    p.setAction(value);
    return true;
  }
  bool onElement(Primitive& primitive, Reader& reader) const override {
    QV_OFFER_EXT_BLOCK(primitive, reader);
    auto& p = static_cast<Notify&>(primitive);
    if (isNamed(reader, "content-set")) {
      std::unique_ptr<ContentSet> set = readChild<ContentSet>(reader, gContentSet);
      if (!set) return false;
      p.addContentSet(std::move(set));
    } else if (isNamed(reader, "content")) {
      std::unique_ptr<Content> content = readChild<Content>(reader, gContent);
      if (!content) return false;
      p.addContent(std::move(content));
    }
    return true;
  }
};

class XmlClientId : public XmlPrimitive {
 public:
  bool write(const Primitive& primitive, std::ostream& out) const override {
    const auto& p = static_cast<const ClientId&>(primitive);
    if (!p.isValid()) {
      QV_LOG(3, "Invalid clientId primitive.");
      return false;
    }
    out << "<client-id ";
    out << "subscriber-id=\"" << escape(*p.getSubscriberId()) << "\" ";
    out << "device-id=\"" << escape(*p.getDeviceId()) << "\" ";
    out << "/>\n";
    return true;
  }
  bool readAttributes(Primitive& primitive, Reader& reader) const override {
    auto& p = static_cast<ClientId&>(primitive);
    stringAttribute(reader, "subscriber-id", [&](const std::string& v) { p.setSubscriberId(v); });
    stringAttribute(reader, "device-id", [&](const std::string& v) { p.setDeviceId(v); });
    return true;
  }
};

const XmlClientId gClientId;

// --- requests -------------------------------------------------------------

class XmlGetRequest : public XmlPrimitive {
 public:
  bool write(const Primitive& primitive, std::ostream& out) const override {
    writeHead(static_cast<const Request&>(primitive), out);
    out << "<get-request />\n</dcd>\n";
    return true;
  }
  bool readAttributes(Primitive& primitive, Reader& reader) const override {
    readRequestAttributes(static_cast<Request&>(primitive), reader);
    return true;
  }
};

class XmlContentUpdateRequest : public XmlPrimitive {
 public:
  bool write(const Primitive& primitive, std::ostream& out) const override {
    const auto& p = static_cast<const ContentUpdateRequest&>(primitive);
    if (!p.isValid()) {
      QV_LOG(3, "Invalid content-update-request primitive.");
      return false;
    }
    writeHead(p, out);
    out << "<content-update-request ";
    out << " request-trigger=\"" << escape(p.getTrigger()->name()) << "\" ";
    out << " expected-content=\"" << escape(p.getExpected()->name()) << "\" ";
    out << ">\n";
    if (p.getApplication() != nullptr && !gApplication.write(*p.getApplication(), out)) {
      QV_LOG(3, "Unable to unmarshall content-update-request's application.");
      return false;
    }
    out << "</content-update-request>\n</dcd>\n";
    return true;
  }
  bool readAttributes(Primitive& primitive, Reader& reader) const override {
    auto& p = static_cast<ContentUpdateRequest&>(primitive);
    readRequestAttributes(p, reader);
    std::unique_ptr<std::string> trigger = requiredAttribute(reader, "request-trigger");
    if (!trigger) return false;
    p.setTrigger(RequestTrigger::fromString(*trigger));
    if (p.getTrigger() == nullptr) return false;
    std::unique_ptr<std::string> expected = requiredAttribute(reader, "expected-content");
    if (!expected) return false;
    p.setExpected(ExpectedContent::fromString(*expected));
    return p.getExpected() != nullptr;
  }
  bool onElement(Primitive& primitive, Reader& reader) const override {
    if (!isNamed(reader, "application")) return true;
    std::unique_ptr<Application> application = readChild<Application>(reader, gApplication);
    if (!application) return false;
    static_cast<ContentUpdateRequest&>(primitive).setApplication(std::move(application));
    return true;
  }
};

class XmlServiceRegistrationRequest : public XmlPrimitive {
 public:
  bool write(const Primitive& primitive, std::ostream& out) const override {
    const auto& p = static_cast<const ServiceRegistrationRequest&>(primitive);
    if (!p.isValid()) {
      QV_LOG(3, "[18344]Invalid service-registration-request primitive");
      return false;
    }
    writeHead(p, out);
    out << "<service-registration-request ";
    out << "client-msisdn=\"" << escape(*p.getClientMsisdn());
    out << "\" application-id=\"" << escape(*p.getApplicationId());
    out << "\" encryption=\"" << (*p.getIsContentEncrypted() ? "true\" " : "false\" ");
    out << ">\n";
    if (p.getClientId() != nullptr && !gClientId.write(*p.getClientId(), out)) return false;
    out << "</service-registration-request>\n</dcd>\n";
    return true;
  }
  bool readAttributes(Primitive& primitive, Reader& reader) const override {
    auto& p = static_cast<ServiceRegistrationRequest&>(primitive);
    readRequestAttributes(p, reader);
    stringAttribute(reader, "client-msisdn", [&](const std::string& v) { p.setClientMsisdn(v); });
    stringAttribute(reader, "application-id", [&](const std::string& v) { p.setApplicationId(v); });
    stringAttribute(reader, "encryption", [&](const std::string& v) { p.setIsContentEncrypted(v == "true"); });
    stringAttribute(reader, "client-token", [&](const std::string& v) { p.setClientToken(v); });
    stringAttribute(reader, "supported-authentication-method", [&](const std::string& v) {
      for (const std::string& token : MString::splitAll(v, ' ')) {
        if (!token.empty()) p.addSupportedAuthenticationMethod(token);
      }
    });
    return true;
  }
  bool onElement(Primitive& primitive, Reader& reader) const override {
    if (!isNamed(reader, "client-id")) return true;
    std::unique_ptr<ClientId> clientId = readChild<ClientId>(reader, gClientId);
    if (!clientId) return false;
    static_cast<ServiceRegistrationRequest&>(primitive).setClientId(std::move(clientId));
    return true;
  }
};

// --- responses ------------------------------------------------------------

// sid, tid, ext-block and result, shared by every response.
class XmlResponse : public XmlPrimitive {
 public:
  bool write(const Primitive&, std::ostream&) const override { return refuseResponse(); }
  bool readAttributes(Primitive& primitive, Reader& reader) const override {
    readResponseAttributes(static_cast<Response&>(primitive), reader);
    return true;
  }
  bool onElement(Primitive& primitive, Reader& reader) const override {
    QV_OFFER_EXT_BLOCK(primitive, reader);
    if (isNamed(reader, "result")) {
      std::unique_ptr<Result> result = readChild<Result>(reader, gResult);
      if (!result) return false;
      static_cast<Response&>(primitive).setResult(std::move(result));
      return true;
    }
    return onResponseElement(primitive, reader);
  }

 protected:
  virtual bool onResponseElement(Primitive&, Reader&) const { return true; }
};

class XmlStatus : public XmlResponse {};

class XmlContentUpdateResponse : public XmlResponse {
 protected:
  bool onResponseElement(Primitive& primitive, Reader& reader) const override {
    if (!isNamed(reader, "application")) return true;
    std::unique_ptr<Application> application = readChild<Application>(reader, gApplication);
    if (!application) return false;
    static_cast<ContentUpdateResponse&>(primitive).setApplication(std::move(application));
    return true;
  }
};

class XmlGetResponse : public XmlResponse {
 protected:
  bool onResponseElement(Primitive& primitive, Reader& reader) const override {
    if (!isNamed(reader, "system-messages")) return true;
    std::unique_ptr<Details> messages = readChild<Details>(reader, gDetails);
    if (!messages) return false;
    static_cast<GetResponse&>(primitive).setSystemMessages(std::move(messages));
    return true;
  }
};

class XmlServiceRegistrationResponse : public XmlResponse {
 public:
  bool readAttributes(Primitive& primitive, Reader& reader) const override {
    auto& p = static_cast<ServiceRegistrationResponse&>(primitive);
    readResponseAttributes(p, reader);
    stringAttribute(reader, "encrypted-user-key", [&](const std::string& v) { p.setEncryptedUserKey(v); });
    intAttribute(reader, "session-ttl", [&](int32_t v) { p.setSessionTtl(v); });
    return true;
  }
};

// --- lookups --------------------------------------------------------------

const XmlPrimitive* converterForType(const std::string& type) {
  static const XmlNotify notify;
  static const XmlStatus status;
  static const XmlContentUpdateResponse contentUpdateResponse;
  static const XmlGetResponse getResponse;
  static const XmlServiceRegistrationResponse serviceRegistrationResponse;
  static const XmlContentUpdateRequest contentUpdateRequest;
  static const XmlGetRequest getRequest;
  static const XmlServiceRegistrationRequest serviceRegistrationRequest;
  static const std::map<std::string, const XmlPrimitive*> converters = {
      {"Result", &gResult},
      {"Details", &gDetails},
      {"Detail", &gDetail},
      {"PropertySet", &gPropertySet},
      {"UpdateSchedule", &gUpdateSchedule},
      {"Lifespan", &gLifespan},
      {"Content", &gContent},
      {"ContentSet", &gContentSet},
      {"Application", &gApplication},
      {"Status", &status},
      {"Notify", &notify},
      {"ContentUpdateResponse", &contentUpdateResponse},
      {"GetResponse", &getResponse},
      {"ContentUpdateRequest", &contentUpdateRequest},
      {"GetRequest", &getRequest},
      {"ServiceRegistrationRequest", &serviceRegistrationRequest},
      {"ServiceRegistrationResponse", &serviceRegistrationResponse},
  };
  auto it = converters.find(type);
  return it == converters.end() ? nullptr : it->second;
}

// An empty primitive for a top-level element name, or null.
std::unique_ptr<Primitive> createForElement(const std::string& name) {
  static const std::map<std::string, std::function<Primitive*()>> factories = {
      {"result", [] { return new Result(); }},
      {"details", [] { return new Details(); }},
      {"detail", [] { return new Detail(); }},
      {"property-set", [] { return new PropertySet(); }},
      {"update-schedule", [] { return new UpdateSchedule(); }},
      {"lifespan", [] { return new Lifespan(); }},
      {"content-update-response", [] { return new ContentUpdateResponse(); }},
      {"get-response", [] { return new GetResponse(); }},
      {"content-update-request", [] { return new ContentUpdateRequest(); }},
      {"get-request", [] { return new GetRequest(); }},
      {"service-registration-request", [] { return new ServiceRegistrationRequest(); }},
      {"service-registration-response", [] { return new ServiceRegistrationResponse(); }},
      {"content", [] { return new Content(); }},
      {"content-set", [] { return new ContentSet(); }},
      {"application", [] { return new Application(); }},
      {"status", [] { return new Status(); }},
      {"notify", [] { return new Notify(); }},
  };
  auto it = factories.find(name);
  return it == factories.end() ? nullptr : std::unique_ptr<Primitive>(it->second());
}

void initParserOnce() {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
}

}  // namespace

std::unique_ptr<txn::Primitive> XmlSyntax::marshall(const SyntaxHeaders&, const char* data, long length,
                                                    const std::string& charset) {
  if (data == nullptr || length <= 0) {
    QV_LOG(3, "Encountered invalid method arguments.");
    return nullptr;
  }
  if (length > kMaxDocumentBytes) {
    QV_LOG(3, "The XML data block of %ld bytes is larger than the limit of %ld bytes. Refusing it.", length,
           kMaxDocumentBytes);
    return nullptr;
  }
  if (xmlParseCharEncoding(charset.c_str()) == XML_CHAR_ENCODING_ERROR) {
    QV_LOG(3, "Unable to find a character encoding that matches the name %s. Aborting.", charset.c_str());
    return nullptr;
  }
  initParserOnce();
  // No network access, no external DTD, no entity substitution (the
  // defaults), and documents with a document type are refused below.
  // CDATA sections arrive as the text they hold.
  ReaderPtr owner(
      xmlReaderForMemory(data, static_cast<int>(length), nullptr, charset.c_str(), XML_PARSE_NONET | XML_PARSE_NOCDATA));
  if (!owner) {
    QV_LOG(3, "Unable to instantiate a XML reader.");
    return nullptr;
  }
  Reader reader;
  reader.r = owner.get();
  xmlTextReaderSetStructuredErrorHandler(reader.r, collectXmlError, &reader);

  // The primitive is the first element after the dcd element.
  bool previousWasDcd = false;
  for (;;) {
    int ret = xmlTextReaderRead(reader.r);
    if (ret != 1) {
      if (ret < 0) {
        QV_LOG(3, "Unable to read the XML data block (line %d): %s", reader.errorLine,
               reader.error.empty() ? "malformed document" : reader.error.c_str());
      } else {
        QV_LOG(3, "Unable to find start of first DCD XML element after the dcd root element.");
      }
      return nullptr;
    }
    int type = xmlTextReaderNodeType(reader.r);
    if (type == XML_READER_TYPE_DOCUMENT_TYPE) {
      QV_LOG(3, "The XML data block declares a document type. Refusing it.");
      return nullptr;
    }
    if (type != XML_READER_TYPE_ELEMENT) continue;
    if (previousWasDcd) break;
    previousWasDcd = isNamed(reader, "dcd");
  }

  std::unique_ptr<txn::Primitive> primitive = createForElement(nodeName(reader));
  if (!primitive) return nullptr;
  const XmlPrimitive* converter = converterForType(primitive->getType());
  if (converter == nullptr) {
    QV_LOG(3, "Encountered a primitive that is not supported by this syntax.");
    return nullptr;
  }
  if (!converter->read(*primitive, reader)) return nullptr;
  return primitive;
}

bool XmlSyntax::unmarshall(const txn::Primitive& primitive, std::ostream& out) {
  std::string type = primitive.getType();
  const XmlPrimitive* converter = converterForType(type);
  if (converter == nullptr) {
    QV_LOG(3, "Encountered a primitive that is not supported by this syntax.");
    return false;
  }
  QV_LOG(8, "Attempting to unmarshall the primitive, %s", type.c_str());
  // Written aside first, so that a failure leaves out untouched.
  std::ostringstream text;
  if (!converter->write(primitive, text)) return false;
  out << text.str();
  return static_cast<bool>(out);
}
