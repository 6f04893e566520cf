// Asset answers to a txn::DataRequestByUrl: the whole body is the asset. It
// becomes a txn::DataResponse holding one txn::DataBlock with the requested
// content id and the response's content type (empty when the answer has
// none). Cannot write requests.
//
// Threads: one object per transaction; distinct objects may be used on
// distinct threads.
#pragma once

#include "syntax/Syntax.h"

namespace dcd {

class BinarySyntax : public Syntax {
 public:
  // contentId: the id of the requested asset.
  explicit BinarySyntax(std::string contentId) : mContentId(std::move(contentId)) {}

  // The content type is the "Content-Type" header (exact name first, then
  // any spelling). charset is not used.
  [[nodiscard]] std::unique_ptr<txn::Primitive> marshall(const SyntaxHeaders& headers, const char* data, long length,
                                           const std::string& charset) override;
  // Always refuses.
  [[nodiscard]] bool unmarshall(const txn::Primitive& primitive, std::ostream& out) override;

  const std::string& getContentId() const { return mContentId; }

 private:
  std::string mContentId;
};

}  // namespace dcd
