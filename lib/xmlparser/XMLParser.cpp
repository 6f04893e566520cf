#include "XMLParser.h"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlreader.h>
#include <libxml/xmlversion.h>

#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/Log.h"

namespace {

struct ReaderDeleter {
  void operator()(xmlTextReader* reader) const noexcept { xmlFreeTextReader(reader); }
};
using ReaderPtr = std::unique_ptr<xmlTextReader, ReaderDeleter>;

struct XmlCharDeleter {
  void operator()(xmlChar* text) const noexcept { xmlFree(text); }
};
using XmlText = std::unique_ptr<xmlChar, XmlCharDeleter>;

// The first error libxml2 reports; nothing goes to standard error.
struct ErrorSink {
  std::string message;
  int line = 0;
};

#if LIBXML_VERSION >= 21200
void onXmlError(void* arg, const xmlError* error) {
#else
void onXmlError(void* arg, xmlErrorPtr error) {
#endif
  ErrorSink* sink = static_cast<ErrorSink*>(arg);
  if (error == nullptr || error->level < XML_ERR_ERROR || !sink->message.empty()) return;
  sink->message = error->message != nullptr ? error->message : "unknown XML error";
  while (!sink->message.empty() && (sink->message.back() == '\n' || sink->message.back() == '\r')) {
    sink->message.pop_back();
  }
  sink->line = error->line;
}

const char* str(const xmlChar* text) { return text != nullptr ? reinterpret_cast<const char*>(text) : ""; }

class Marshaller {
 public:
  Marshaller(xmlTextReaderPtr reader, int maxDepth, long maxElements, const ErrorSink& sink, std::string& error)
      : mReader(reader), mMaxDepth(maxDepth), mMaxElements(maxElements), mSink(sink), mError(error) {}

  // Moves to the first element called name.
  bool findRoot(const char* name) {
    for (;;) {
      int r = xmlTextReaderRead(mReader);
      if (r != 1) {
        if (r < 0) logMalformed();
        return false;
      }
      if (xmlTextReaderNodeType(mReader) != XML_READER_TYPE_ELEMENT) continue;
      if (!withinBounds(str(xmlTextReaderConstName(mReader)))) return false;
      if (std::strcmp(str(xmlTextReaderConstName(mReader)), name) == 0) return true;
    }
  }

  bool marshal(Element& element) {
    const ElementShell& shell = element.shell();
    const std::string name = shell.name();
    const int depth = xmlTextReaderDepth(mReader);

    if (!element.beforeMarshal()) return failChildren(name);
    for (const AttributeDecl& attribute : shell.attributes()) {
      XmlText value(xmlTextReaderGetAttribute(mReader, reinterpret_cast<const xmlChar*>(attribute.name)));
      if (!value) {
        if (!attribute.required) continue;
        QV_LOG(3, "Attribute %s is required, but not presend.\n", attribute.name);
        return failAttribute(name, attribute.name);
      }
      if (!xmlvalue::assign(attribute.slot, element, str(value.get()))) return failAttribute(name, attribute.name);
    }

    const std::vector<ChildDecl>& declared = shell.children();
    std::vector<int> counts(declared.size(), 0);
    if (xmlTextReaderIsEmptyElement(mReader) != 1) {
      for (;;) {
        int r = xmlTextReaderRead(mReader);
        if (r != 1) {
          if (r < 0) {
            logMalformed();
          } else {
            QV_LOG(3, "XMLParser: the document ends inside element %s\n", name.c_str());
            append("The document ends inside element " + name + ".");
          }
          return failChildren(name);
        }
        const int type = xmlTextReaderNodeType(mReader);
        if (type == XML_READER_TYPE_END_ELEMENT && xmlTextReaderDepth(mReader) == depth) break;
        if (type == XML_READER_TYPE_TEXT) {
          const ValueSlot* slot = shell.value();
          if (slot != nullptr && !xmlvalue::assign(*slot, element, str(xmlTextReaderConstValue(mReader)))) {
            std::string text = "Unable to handle this element's value, " + name;
            QV_LOG(3, "%s", text.c_str());
            append(text);
            return failChildren(name);
          }
          continue;
        }
        if (type != XML_READER_TYPE_ELEMENT) continue;

        const std::string childName = str(xmlTextReaderConstName(mReader));
        if (!withinBounds(childName)) return failChildren(name);
        const ChildDecl* decl = shell.findChild(childName.c_str());
        if (decl == nullptr) {
          // Skipped: what lies inside it is met by this same loop.
          if (++mUnknown <= XMLParser::kMaxUnknownLogged) {
            QV_LOG(3, "ElementShell::handleChildElement: Not find the element:%s\n", childName.c_str());
          }
          continue;
        }
        const size_t index = static_cast<size_t>(decl - declared.data());
        // Past the maximum the element fails anyway; stop reading now.
        if (++counts[index] > decl->max) return failCount(name, *decl);
        std::unique_ptr<Element> child = decl->create();
        if (!marshal(*child)) {
          if (decl->single) {
            QV_LOG(3, "Element::setValue: parser %s error!\n", childName.c_str());
          } else {
            QV_LOG(3, "Parse element %s error!\n", childName.c_str());
          }
          std::string text = "ElementShell " + name + " handleChildElement \"" + childName + "\" error!";
          QV_LOG(3, "%s", text.c_str());
          append(text);
          return failChildren(name);
        }
        decl->store(element, std::move(child));
      }
    }

    for (size_t i = 0; i < declared.size(); ++i) {
      if (counts[i] < declared[i].min || counts[i] > declared[i].max) return failCount(name, declared[i]);
    }
    if (!element.afterMarshal()) return failChildren(name);
    return true;
  }

  // The closing line for the unknown elements that were not logged one by one.
  void reportUnknown() const {
    if (mUnknown > XMLParser::kMaxUnknownLogged) {
      QV_LOG(3, "ElementShell::handleChildElement: %ld more unknown elements skipped\n",
             mUnknown - XMLParser::kMaxUnknownLogged);
    }
  }

 private:
  void append(const std::string& text) {
    if (!mError.empty()) mError += '\n';
    mError += text;
  }

  bool withinBounds(const std::string& elementName) {
    if (++mElements > mMaxElements) {
      QV_LOG(3, "XMLParser: the document has more than %ld elements\n", mMaxElements);
      append("The document has more than " + std::to_string(mMaxElements) + " elements.");
      return false;
    }
    const int depth = xmlTextReaderDepth(mReader);
    if (depth > mMaxDepth) {
      QV_LOG(3, "XMLParser: element %s is nested %d deep, more than %d\n", elementName.c_str(), depth, mMaxDepth);
      append("Element " + elementName + " is nested too deep.");
      return false;
    }
    return true;
  }

  void logMalformed() {
    const std::string reason = mSink.message.empty() ? "the XML reader failed" : mSink.message;
    QV_LOG(3, "XMLParser: the document is not well-formed XML (line %d): %s\n", mSink.line, reason.c_str());
    append("The document is not well-formed XML: " + reason);
  }

  bool failAttribute(const std::string& name, const char* attribute) {
    std::string text = "Element [" + name + "] handleattribute [" + attribute + "] error!";
    QV_LOG(3, "%s", text.c_str());
    append(text);
    append("Unable to handle this element's attributes, " + name + ". Marking this element as invalid and aborting.");
    return false;
  }

  bool failCount(const std::string& name, const ChildDecl& decl) {
    QV_LOG(3, "Element number error:%s\n", decl.name);
    std::string text = "ElementShell " + name + " handleChildElement error!";
    QV_LOG(3, "%s", text.c_str());
    return failChildren(name);
  }

  bool failChildren(const std::string& name) {
    std::string text = "Unable to handle this child element, " + name + ". Marking this element as invalid and aborting.";
    QV_LOG(3, "%s", text.c_str());
    append(text);
    return false;
  }

  xmlTextReaderPtr mReader;
  int mMaxDepth;
  long mMaxElements;
  const ErrorSink& mSink;
  std::string& mError;
  long mElements = 0;
  long mUnknown = 0;
};

}  // namespace

bool XMLParser::parse(const std::string& bytes, Element& root, std::string& error) const {
  error.clear();
  const char* rootName = root.name();
  static const char kEntity[] = "<!ENTITY";

  ReaderPtr reader;
  std::string reason;
  if (bytes.empty()) {
    QV_LOG(3, "XMLParser::parse, The xmlbody is empty!\n");
    reason = "the document is empty";
  } else if (bytes.size() > static_cast<size_t>(INT_MAX)) {
    QV_LOG(3, "XMLParser::parse: a document of %zu bytes is too large\n", bytes.size());
    reason = "the document is too large";
  } else if (memmem(bytes.data(), bytes.size(), kEntity, sizeof kEntity - 1) != nullptr) {
    // Entity declarations are what entity expansion attacks are made of;
    // none of the documents read here has a use for them.
    QV_LOG(3, "XMLParser::parse: the document declares entities, refused\n");
    reason = "the document declares entities";
  } else {
    // No options: no DTD loading, no entity substitution, no default
    // attributes; NONET in addition, so that nothing is ever fetched.
    // CDATA sections arrive as the text they hold.
    reader.reset(xmlReaderForMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr, "UTF-8",
                                    XML_PARSE_NONET | XML_PARSE_NOCDATA));
    if (!reader) QV_LOG(3, "Could not instantiate xml reader");
    reason = "no XML reader";
  }
  if (!reader) {
    QV_LOG(3, "Create xml reader failed:%s", reason.c_str());
    error = "Create xml reader failed: " + reason;
    return false;
  }

  ErrorSink sink;
  xmlTextReaderSetStructuredErrorHandler(reader.get(), &onXmlError, &sink);
  Marshaller marshaller(reader.get(), mMaxDepth, mMaxElements, sink, error);
  if (!marshaller.findRoot(rootName)) {
    QV_LOG(3, "Unable to find start of element:%s , the element\n", rootName);
    if (!error.empty()) error += '\n';
    error += std::string("Unable to find start of element ") + rootName + ".";
    return false;
  }
  QV_LOG(8, "Found the starting %s element. Attempting to marshall a %s object from the XML element.\n", rootName,
         rootName);
  bool ok = marshaller.marshal(root);
  marshaller.reportUnknown();
  if (ok) {
    QV_LOG(3, "Successfully marshalled the following %s object from XML: \n", rootName);
    if (qvlog::enabled(qvlog::kDebug)) QV_LOG(8, "%s\n", root.toXml().c_str());
  } else {
    QV_LOG(3, "Unable to marshall %s object from the XML snippet.\n", rootName);
  }
  // The reader is freed here. libxml2's global state is kept: releasing it
  // (xmlCleanupParser) is only safe when the process ends.
  return ok;
}
