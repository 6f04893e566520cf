#include "syntax/BinarySyntax.h"

#include <strings.h>

#include <cstdint>

#include "platform/Log.h"

namespace dcd {

std::unique_ptr<txn::Primitive> BinarySyntax::marshall(const SyntaxHeaders& headers, const char* data, long length,
                                                       const std::string&) {
  if (length < 0 || (data == nullptr && length > 0) || static_cast<unsigned long>(length) > UINT32_MAX) {
    QV_LOG(3, "Encountered invalid method arguments.");
    return nullptr;
  }
  std::unique_ptr<txn::DataResponse> response(new txn::DataResponse());

  // Header names are case-insensitive on the wire (and lower case over
  // HTTP/2), so any spelling counts once the exact one is missing.
  const std::string* contentType = nullptr;
  auto exact = headers.find("Content-Type");
  if (exact != headers.end()) {
    contentType = &exact->second;
  } else {
    for (const auto& header : headers) {
      if (strcasecmp(header.first.c_str(), "Content-Type") == 0) {
        contentType = &header.second;
        break;
      }
    }
  }
  std::string type;
  if (contentType != nullptr) {
    type = *contentType;
    QV_LOG(8, "Set the content-type for the data with id %s, to %s", mContentId.c_str(), type.c_str());
  } else {
    QV_LOG(3, "Unable to determine the content-type of the data block. Setting to empty string.");
  }
  if (mContentId.empty()) {
    QV_LOG(3,
           "Encountered an empty content-id while trying to convert a data block into a txn::DataResponse. "
           "Continuing anyway.");
  }
  response->addBlock(
      std::unique_ptr<txn::DataBlock>(new txn::DataBlock(data, static_cast<uint32_t>(length), mContentId, type)));
  return response;
}

bool BinarySyntax::unmarshall(const txn::Primitive&, std::ostream&) {
  QV_LOG(8, "Primitives can not be converted into a binary format. This syntax is not yet supported.");
  return false;
}

}  // namespace dcd
