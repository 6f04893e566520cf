// FLP 1.x answer splitting over arbitrary bytes: header lists, and a body
// split by HttpResponse::parseBody. The input's first line is the
// Content-Type value, the rest is the body (and, whole, a header text).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "HttpTypes.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  // A header text reads back the same from its written form.
  HeaderList headers;
  headers.parseHeaders(input);
  for (const HeaderList::Field& field : headers.fields()) {
    FUZZ_CHECK(field.first.find('\n') == std::string::npos && field.second.find('\n') == std::string::npos);
    FUZZ_CHECK(field.first.find(':') == std::string::npos);
  }
  HeaderList again;
  again.parseHeaders(headers.toText());
  FUZZ_CHECK(again.fields() == headers.fields());

  const std::string::size_type newline = input.find('\n');
  const std::string type = input.substr(0, newline);
  const std::string body = newline == std::string::npos ? std::string() : input.substr(newline + 1);
  HttpResponse response;
  if (!type.empty()) response.mEntity.mHeaders.add("Content-Type", type);
  BodyReader reader(body);
  const bool ok = response.parseBody(reader);
  if (!response.mIsMultipart) {
    FUZZ_CHECK(ok && response.mEntity.mBody == body);
    return 0;
  }
  FUZZ_CHECK(response.mMultipart && response.mEntity.mBody.empty());
  FUZZ_CHECK(response.mMultipart->mParts.size() <= Multipart::kMaxParts);
  if (!ok) return 0;
  std::size_t total = 0;
  for (const PtrRef<MimeEntity>& part : response.mMultipart->mParts) {
    FUZZ_CHECK(part && part->mHeaders.size() <= Multipart::kMaxHeaderLines);
    FUZZ_CHECK(body.find(part->mBody) != std::string::npos);
    total += part->mBody.size();
  }
  FUZZ_CHECK(total <= body.size());
  return 0;
}
