// BinarySyntax::marshall: the body comes back as one block, byte for byte.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "FuzzSupport.h"
#include "syntax/BinarySyntax.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dcd::SyntaxHeaders headers;
  // The first byte chooses how the content type arrives.
  if (size > 0 && (data[0] & 1) != 0) headers[(data[0] & 2) != 0 ? "Content-Type" : "content-type"] = "image/gif";
  dcd::BinarySyntax syntax("asset-1");
  std::unique_ptr<txn::Primitive> primitive =
      syntax.marshall(headers, reinterpret_cast<const char*>(data), static_cast<long>(size), "");
  FUZZ_CHECK(primitive != nullptr);
  const auto& blocks = static_cast<const txn::DataResponse&>(*primitive).getBlocks();
  FUZZ_CHECK(blocks.size() == 1);
  FUZZ_CHECK(blocks[0]->getLength() == size);
  FUZZ_CHECK(size == 0 || std::memcmp(blocks[0]->getBytes(), data, size) == 0);
  FUZZ_CHECK(blocks[0]->getContentType() == (headers.empty() ? "" : "image/gif"));
  return 0;
}
