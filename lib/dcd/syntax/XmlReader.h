// Reading helpers of the DCD XML syntax: the libxml2 text reader with the
// first parse error it reported, and small readers for names, attributes,
// element text and ext-blocks. They serve XmlConverters.cpp; nothing outside
// the syntax uses them.
//
// Every helper that fails logs one line; a false return means the document
// must be given up.
//
// Threads: a Reader belongs to the one thread that reads its document.
#pragma once

#include <libxml/xmlerror.h>
#include <libxml/xmlreader.h>

#include <cstdint>
#include <memory>
#include <string>

#include "txn/Primitives.h"

namespace dcd {
namespace xml {

struct ReaderDeleter {
  void operator()(xmlTextReader* reader) const { xmlFreeTextReader(reader); }
};
using ReaderPtr = std::unique_ptr<xmlTextReader, ReaderDeleter>;

// The reader with the first parse error it reported.
struct Reader {
  xmlTextReaderPtr r = nullptr;
  std::string error;
  int errorLine = 0;
};

// Structured error handler for xmlTextReaderSetStructuredErrorHandler;
// userData is the Reader. Keeps the first error (without line ends).
void collectXmlError(void* userData, xmlErrorPtr error);

// Name of the node the reader stands on ("" when it has none).
const char* nodeName(Reader& reader);
bool isNamed(Reader& reader, const char* name);

// Advances the reader; false (logged) when the document fails or ends.
// inside names the element being read, for the log line.
[[nodiscard]] bool advance(Reader& reader, const char* inside);

// The attribute's value, or null when the element has none.
std::unique_ptr<std::string> attribute(Reader& reader, const char* name);
// As attribute, and logs a missing one.
std::unique_ptr<std::string> requiredAttribute(Reader& reader, const char* name);

// A decimal number in the 32-bit range; false leaves out untouched.
[[nodiscard]] bool parseInt(const std::string& text, int32_t& out);

// Calls set with the attribute's number; an absent or unreadable one is
// left out.
template <class Setter>
void intAttribute(Reader& reader, const char* name, Setter set) {
  std::unique_ptr<std::string> value = attribute(reader, name);
  int32_t number = 0;
  if (value && parseInt(*value, number)) set(number);
}

// Calls set with the attribute's text when the element has it.
template <class Setter>
void stringAttribute(Reader& reader, const char* name, Setter set) {
  std::unique_ptr<std::string> value = attribute(reader, name);
  if (value) set(*value);
}

// The required status-code attribute "code"; null (logged) when it is
// missing, not a number or not a known status code.
[[nodiscard]] const txn::StatusCode* codeAttribute(Reader& reader);

// Text of the current element: the last text node directly inside it. The
// reader ends on the element's end. False when the document fails; value is
// empty (logged) when it has none.
[[nodiscard]] bool elementText(Reader& reader, std::string& value);

// Stores the ext-block element the reader stands on, verbatim, in p.
[[nodiscard]] bool readExtBlock(txn::Primitive& p, Reader& reader);

}  // namespace xml
}  // namespace dcd
