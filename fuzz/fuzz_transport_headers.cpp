// The HTTP transport's handling of response headers: a server's header block
// as the stack splits it, copied into the transport's header map and judged
// for a redirect. The first byte chooses the status.
#include <strings.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "platform/Hivra.h"
#include "transport/DcdHttpTransport.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quietLogs();
  return 0;
}

namespace {

bool isHttpUrl(const std::string& url) {
  return strncasecmp(url.c_str(), "http://", 7) == 0 || strncasecmp(url.c_str(), "https://", 8) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const int kStatuses[] = {200, 301, 307, 404};
  const int status = kStatuses[data[0] % 4];
  const std::string block(reinterpret_cast<const char*>(data + 1), size - 1);

  Hivra::Headers fields;
  fields.addHeaders(block);
  DcdTransport::HeaderMap headers;
  DcdHttpTransport::copyResponseHeaders(fields, headers);
  for (const auto& header : headers) {
    FUZZ_CHECK(!header.first.empty() && !header.second.empty());
    FUZZ_CHECK(header.second.find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
  }

  std::string location;
  const DcdHttpTransport::Redirect redirect =
      DcdHttpTransport::judgeRedirect(status, "http://127.0.0.1:8080/dcd/answer?x=1", headers, location);
  if (status != 301 && status != 307) FUZZ_CHECK(redirect == DcdHttpTransport::Redirect::NONE);
  if (redirect == DcdHttpTransport::Redirect::FOLLOW) {
    FUZZ_CHECK(isHttpUrl(location));
  } else {
    FUZZ_CHECK(location.empty());
  }
  return 0;
}
