#include "syntax/XmlReader.h"

#include <libxml/tree.h>

#include <climits>
#include <cstring>

#include "platform/Log.h"
#include "platform/Types.h"

namespace dcd {
namespace xml {

namespace {

struct XmlCharDeleter {
  void operator()(xmlChar* text) const { xmlFree(text); }
};
struct BufferDeleter {
  void operator()(xmlBuffer* buffer) const { xmlBufferFree(buffer); }
};
using XmlCharPtr = std::unique_ptr<xmlChar, XmlCharDeleter>;
using BufferPtr = std::unique_ptr<xmlBuffer, BufferDeleter>;

}  // namespace

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

bool parseInt(const std::string& text, int32_t& out) {
  long value = 0;
  if (!MString::toInt(text, value) || value < INT32_MIN || value > INT32_MAX) return false;
  out = static_cast<int32_t>(value);
  return true;
}

const txn::StatusCode* codeAttribute(Reader& reader) {
  std::unique_ptr<std::string> value = attribute(reader, "code");
  int32_t number = 0;
  if (!value || !parseInt(*value, number)) {
    QV_LOG(3, "Missing required attribute, code");
    return nullptr;
  }
  const txn::StatusCode* code = txn::StatusCode::fromCode(number);
  if (code == nullptr) QV_LOG(3, "Unable to convert integer %d to a status code", number);
  return code;
}

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

bool readExtBlock(txn::Primitive& p, Reader& reader) {
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
  p.setExtBlock(std::unique_ptr<txn::ExtBlock>(new txn::ExtBlock(reinterpret_cast<const char*>(xmlBufferContent(buffer.get())),
                                                       length > 0 ? static_cast<std::size_t>(length) : 0)));
  QV_LOG(8, "Copied an ext-block of size %d to this Primitive.", length);
  return true;
}

}  // namespace xml
}  // namespace dcd
