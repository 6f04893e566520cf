// unzip over arbitrary bytes, against zlib's own one-call inflation of the
// same gzip stream into a buffer one byte larger than the bound: both agree
// on success and on the bytes.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "HttpTypes.h"

namespace {
constexpr std::size_t kBound = 1 << 20;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::string out;
  const bool ok = unzip(input, out, kBound);
  FUZZ_CHECK(out.size() <= kBound);
  FUZZ_CHECK(ok || out.empty());

  std::string expected(kBound + 1, '\0');
  z_stream stream{};
  FUZZ_CHECK(inflateInit2(&stream, 31) == Z_OK);
  stream.next_in = const_cast<Bytef*>(reinterpret_cast<const Bytef*>(input.data()));
  stream.avail_in = static_cast<uInt>(input.size());
  stream.next_out = reinterpret_cast<Bytef*>(&expected[0]);
  stream.avail_out = static_cast<uInt>(expected.size());
  const int rc = inflate(&stream, Z_FINISH);
  const std::size_t produced = stream.total_out;
  inflateEnd(&stream);
  const bool referenceOk = rc == Z_STREAM_END && produced <= kBound;
  FUZZ_CHECK(ok == referenceOk);
  if (ok) FUZZ_CHECK(out == expected.substr(0, produced));
  return 0;
}
