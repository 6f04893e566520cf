// The FLP 1.x URL functions over arbitrary text: the input's first line is
// a base URL, the rest a reference. Splitting loses nothing, joining stays
// within the length of its parts and keeps the base's scheme (an empty
// reference gives the base as it is), and a URL the transport accepts has
// a host and a valid port.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "HttpTransport.h"
#include "Url.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string::size_type newline = input.find('\n');
  const std::string base = input.substr(0, newline);
  const std::string ref = newline == std::string::npos ? std::string() : input.substr(newline + 1);

  std::string rest, scheme;
  splitScheme(base, rest, scheme);
  FUZZ_CHECK(scheme.size() >= 3 && scheme.compare(scheme.size() - 3, 3, "://") == 0);
  FUZZ_CHECK(scheme + rest == base || (scheme == "http://" && rest == base));
  const std::string host = hostOf(rest);
  FUZZ_CHECK(rest.compare(0, host.size(), host) == 0);
  const std::string path = pathOf(rest);
  FUZZ_CHECK(!path.empty() && path[0] == '/');
  if (!hasExplicitPort(rest)) FUZZ_CHECK(portOf(rest) == 80);

  std::string url, reason;
  if (HttpTransport::transactionUrl(scheme, rest, url, reason)) {
    FUZZ_CHECK(!host.empty() && reason.empty());
    FUZZ_CHECK(url.compare(0, scheme.size() + host.size() + 1, scheme + host + ":") == 0);
  } else {
    FUZZ_CHECK(!reason.empty());
  }

  FUZZ_CHECK(resolveUrl(base, "") == base);
  if (ref.empty()) return 0;
  const std::string joined = resolveUrl(base, ref);
  FUZZ_CHECK(joined.compare(0, scheme.size(), scheme) == 0);
  FUZZ_CHECK(joined.size() <= scheme.size() + rest.size() + 1 + ref.size());
  return 0;
}
