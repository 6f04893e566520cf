// MultipartSyntax::marshall (and so multipart::Entity) over arbitrary
// bodies. The input's first line is the Content-Type header value, the rest
// is the body.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "FuzzSupport.h"
#include "syntax/MultipartSyntax.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const void* newline = std::memchr(text, '\n', size);
  size_t headerLength = newline != nullptr ? static_cast<size_t>(static_cast<const char*>(newline) - text) : size;
  size_t bodyOffset = newline != nullptr ? headerLength + 1 : size;
  dcd::SyntaxHeaders headers;
  if (headerLength > 0) headers["Content-Type"] = std::string(text, headerLength);
  dcd::MultipartSyntax syntax;
  std::unique_ptr<txn::Primitive> primitive =
      syntax.marshall(headers, text + bodyOffset, static_cast<long>(size - bodyOffset), "UTF-8");
  if (!primitive) return 0;
  FUZZ_CHECK(primitive->getType() == "DataResponse");
  size_t total = 0;
  for (const auto& block : static_cast<const txn::DataResponse&>(*primitive).getBlocks()) {
    FUZZ_CHECK(block->getLength() > 0 && block->getBytes() != nullptr);
    FUZZ_CHECK(!block->getContentId().empty() && !block->getContentType().empty());
    total += block->getLength();
  }
  // Part bodies are pieces of the body, never more.
  FUZZ_CHECK(total <= size - bodyOffset);
  return 0;
}
