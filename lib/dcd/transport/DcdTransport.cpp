#include "transport/DcdTransport.h"

#include <cstring>

#include "platform/Log.h"
#include "txn/Primitives.h"

DcdTransport::~DcdTransport() = default;

void DcdTransport::setHeaders(HeaderMap&, const txn::Request&, const txn::Session&) {}

void DcdTransport::setRequestKindHeaders(HeaderMap& headers, const txn::Request& request) {
  const std::string type = request.getType();
  const bool byIds = type == "DataRequestByIds";
  if (byIds) {
    const auto& ids = static_cast<const txn::DataRequestByIds&>(request).getIds();
    if (ids.empty()) {
      QV_LOG(3, "Data request has not specified any ids. Unable to produce headers for this request.");
    } else {
      std::string joined;
      for (const std::string& id : ids) joined += (joined.empty() ? "" : ",") + id;
      QV_LOG(8, "Setting headers for a data request that is requesting ids: %s", joined.c_str());
      headers["X-FL-Request-Id"] = joined;
    }
  }
  if (byIds || type == "DataRequestByUrl") {
    headers["X-FL-RequestType"] = "data";
  } else {
    headers["Content-Type"] = txn::kDcdMimeType;
  }
}

void DcdTransport::clearCancel() {}

void DcdTransport::setRequestBody(const char* data, int32_t length) {
  clearRequestBody();
  if (length < 0 || (data == nullptr && length > 0)) {
    QV_LOG(3, "Refusing a request body of %d bytes at %p.", length, static_cast<const void*>(data));
    return;
  }
  // One extra byte keeps the body printable as text in log lines.
  std::unique_ptr<char[]> copy(new char[static_cast<std::size_t>(length) + 1]());
  if (length > 0) std::strncpy(copy.get(), data, static_cast<std::size_t>(length));
  mBody = std::move(copy);
  mBodyLength = length;
}

void DcdTransport::clearRequestBody() {
  mBody.reset();
  mBodyLength = -1;
}

void DcdTransport::clearResponse() {
  mStatusCode = -1;
  mResponseBody.reset();
  mResponseLength = -1;
  mResponseHeaders.clear();
}
