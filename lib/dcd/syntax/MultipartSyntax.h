// Asset answers to a txn::DataRequestByIds: a multipart MIME body with one
// part per asset, read into a txn::DataResponse with one txn::DataBlock per
// usable part (in body order). Parts without a Content-Id, without a content
// type, with an empty body or that cannot be read are skipped; a body that
// does not parse, or has no parts, gives null. Cannot write requests.
//
// Threads: stateless; distinct objects may be used on distinct threads.
#pragma once

#include "syntax/Syntax.h"

namespace dcd {

class MultipartSyntax : public Syntax {
 public:
  // The content type comes from the first header named "content-type"
  // (ignoring case). charset is not used.
  [[nodiscard]] std::unique_ptr<txn::Primitive> marshall(const SyntaxHeaders& headers, const char* data, long length,
                                           const std::string& charset) override;
  // Always refuses.
  [[nodiscard]] bool unmarshall(const txn::Primitive& primitive, std::ostream& out) override;
};

}  // namespace dcd
