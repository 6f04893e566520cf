#include "syntax/XmlSyntax.h"

#include <libxml/parser.h>
#include <libxml/xmlreader.h>

#include <mutex>
#include <sstream>

#include "platform/Log.h"
#include "syntax/XmlConverters.h"
#include "syntax/XmlReader.h"
#include "syntax/XmlWriter.h"

namespace dcd {

namespace {

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
  xml::ReaderPtr owner(
      xmlReaderForMemory(data, static_cast<int>(length), nullptr, charset.c_str(), XML_PARSE_NONET | XML_PARSE_NOCDATA));
  if (!owner) {
    QV_LOG(3, "Unable to instantiate a XML reader.");
    return nullptr;
  }
  xml::Reader reader;
  reader.r = owner.get();
  xmlTextReaderSetStructuredErrorHandler(reader.r, xml::collectXmlError, &reader);

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
    previousWasDcd = xml::isNamed(reader, "dcd");
  }

  return xml::readPrimitive(reader);
}

bool XmlSyntax::unmarshall(const txn::Primitive& primitive, std::ostream& out) {
  std::string type = primitive.getType();
  xml::Writer writer = xml::writerForType(type);
  if (writer == nullptr) {
    QV_LOG(3, "Encountered a primitive that is not supported by this syntax.");
    return false;
  }
  QV_LOG(8, "Attempting to unmarshall the primitive, %s", type.c_str());
  // Written aside first, so that a failure leaves out untouched.
  std::ostringstream text;
  if (!writer(primitive, text)) return false;
  out << text.str();
  return static_cast<bool>(out);
}

}  // namespace dcd
