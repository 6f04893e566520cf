#include "syntax/MultipartSyntax.h"

#include <strings.h>

#include <cstdint>
#include <cstdlib>

#include "platform/Log.h"
#include "platform/multipart.h"

namespace dcd {

namespace {

struct FreeDeleter {
  void operator()(char* text) const { std::free(text); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

constexpr std::size_t kReadStep = 1024;

}  // namespace

std::unique_ptr<txn::Primitive> MultipartSyntax::marshall(const SyntaxHeaders& headers, const char* data, long length,
                                                          const std::string&) {
  if (length < 0 || (data == nullptr && length > 0)) {
    QV_LOG(3, "Encountered invalid method arguments.");
    return nullptr;
  }
  const std::string* contentType = nullptr;
  for (const auto& header : headers) {
    QV_LOG(8, "Seeing if header, %s, is equal to 'content-type'", header.first.c_str());
    if (strcasecmp(header.first.c_str(), "content-type") == 0) {
      contentType = &header.second;
      break;
    }
  }
  if (contentType == nullptr) {
    QV_LOG(3,
           "Server response did not include a content-type header. Unable to parse this response as a multipart "
           "message.");
    return nullptr;
  }
  QV_LOG(8, "Found a content-type header in the response with value, %s", contentType->c_str());

  // The answer as one MIME entity: its content type, then the body bytes.
  std::string text = "Content-Type:" + *contentType + "\r\n";
  if (length > 0) text.append(data, static_cast<std::size_t>(length));

  multipart::Entity entity(text.data(), text.size());
  int rc = entity.parse();
  if (rc != multipart::kOk) {
    QV_LOG(3, "Unable to parse the data block as a multipart MIME message. Got error %d", rc);
    return nullptr;
  }
  if (entity.getChildCount() < 1) {
    QV_LOG(3, "No parts were found in the multipart MIME message.");
    return nullptr;
  }
  QV_LOG(8, "Successfully parsed the data-block as a multipart MIME message. Found %d parts.", entity.getChildCount());

  std::unique_ptr<txn::DataResponse> response(new txn::DataResponse());
  for (multipart::Entity* part = entity.getFirstChild(); part != nullptr; part = part->getNextSibling()) {
    CString contentId(part->getHeader("Content-Id"));
    if (!contentId || contentId.get()[0] == '\0') {
      QV_LOG(3, "Unable to find the content-id for this part. Skipping.");
      continue;
    }
    CString partType(part->getContentType());
    if (!partType || partType.get()[0] == '\0') {
      QV_LOG(3, "Unable to find the content-type for this part. Skipping.");
      continue;
    }
    std::string body;
    char buffer[kReadStep];
    std::size_t count = 0;
    int status;
    while ((status = part->readBodyStream(buffer, sizeof buffer, &count)) == multipart::kOk) body.append(buffer, count);
    if (status != multipart::kEndOfBody) {
      QV_LOG(3, "An error occurred while reading the data for this part.");
      continue;
    }
    QV_LOG(8, "For part, obtained a data block of size %d.", static_cast<int>(body.size()));
    if (body.empty()) {
      QV_LOG(3, "The part with content-id %s has an empty body. Skipping.", contentId.get());
      continue;
    }
    if (body.size() > UINT32_MAX) {
      QV_LOG(3, "The part with content-id %s is too large. Skipping.", contentId.get());
      continue;
    }
    response->addBlock(std::unique_ptr<txn::DataBlock>(
        new txn::DataBlock(body.data(), static_cast<uint32_t>(body.size()), contentId.get(), partType.get())));
  }
  return response;
}

bool MultipartSyntax::unmarshall(const txn::Primitive&, std::ostream&) {
  QV_LOG(8, "Primitives can not be converted into a multipart MIME format. This syntax is not yet supported.");
  return false;
}

}  // namespace dcd
