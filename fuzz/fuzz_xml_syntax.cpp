// XmlSyntax::marshall over arbitrary bytes; whatever it reads is printed and,
// for requests, written back and read again.
#include <cstddef>
#include <cstdint>
#include <sstream>

#include "FuzzSupport.h"
#include "syntax/XmlSyntax.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dcd::XmlSyntax syntax;
  std::unique_ptr<txn::Primitive> primitive =
      syntax.marshall({}, reinterpret_cast<const char*>(data), static_cast<long>(size), "UTF-8");
  if (!primitive) return 0;
  (void)primitive->toString();
  std::ostringstream written;
  if (syntax.unmarshall(*primitive, written)) {
    const std::string text = written.str();
    FUZZ_CHECK(!text.empty());
    std::unique_ptr<txn::Primitive> again =
        syntax.marshall({}, text.data(), static_cast<long>(text.size()), "UTF-8");
    if (again) (void)again->toString();
  }
  return 0;
}
