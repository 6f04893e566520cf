// The DCD XML syntax: writes request primitives as the DCD XML documents sent
// to the server (content type txn::kDcdMimeType) and reads the XML bodies of
// server answers back into response primitives. Reading streams through the
// libxml2 text reader; writing is plain text.
//
// Reading treats its input as hostile:
// - at most kMaxDocumentBytes bytes are accepted;
// - the reader never touches the network and loads no external DTD or
//   entity; a document that declares a document type is refused, so entity
//   tricks cannot apply;
// - elements are nested at most kMaxDepth levels below the document root
//   where a primitive is read (libxml2 itself refuses documents nested more
//   than 256 levels and text nodes above 10 MB);
// - a document that is not well-formed, or ends inside the primitive, fails
//   the read: a partial primitive is never handed out.
// Only direct children of an element are interpreted; the subtrees of
// unknown elements and of ext-blocks are skipped (an ext-block is kept as
// its verbatim text).
//
// Writing escapes the characters & < > " in attribute values and text; all
// other bytes are written as they are.
//
// Threads: an XmlSyntax is stateless; distinct objects may be used on
// distinct threads at the same time.
#pragma once

#include "syntax/Syntax.h"

namespace dcd {

class XmlSyntax : public Syntax {
 public:
  static constexpr long kMaxDocumentBytes = 16L * 1024 * 1024;
  static constexpr int kMaxDepth = 64;

  // headers are not used. charset must be an encoding name libxml2 knows
  // ("UTF-8" from the transaction).
  [[nodiscard]] std::unique_ptr<txn::Primitive> marshall(const SyntaxHeaders& headers, const char* data, long length,
                                           const std::string& charset) override;
  // Writes request primitives (and the parts they are made of). Responses,
  // asset requests and invalid primitives are refused.
  [[nodiscard]] bool unmarshall(const txn::Primitive& primitive, std::ostream& out) override;
};

}  // namespace dcd
