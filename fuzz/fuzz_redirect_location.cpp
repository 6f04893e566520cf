// The HTTP transport's redirect handling: a Location value from the server,
// resolved against the requested URL. Input: the requested URL, a line end,
// and the Location value (without a line end, a fixed URL is requested).
// A location that is followed is an absolute http or https URL without
// blanks or control bytes, and following it again leads to itself.
#include <strings.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "transport/DcdHttpTransport.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::string requested = "http://content.example:8080/dcd/v1/answer?x=1#top";
  std::string value = input;
  const std::size_t newline = input.find('\n');
  if (newline != std::string::npos) {
    requested = input.substr(0, newline);
    value = input.substr(newline + 1);
  }

  for (int status : {301, 307}) {
    std::string location;
    const DcdHttpTransport::Redirect redirect =
        DcdHttpTransport::judgeRedirect(status, requested, {{"Location", value}}, location);
    if (redirect != DcdHttpTransport::Redirect::FOLLOW) {
      FUZZ_CHECK(location.empty());
      continue;
    }
    FUZZ_CHECK(strncasecmp(location.c_str(), "http://", 7) == 0 || strncasecmp(location.c_str(), "https://", 8) == 0);
    for (unsigned char c : location) FUZZ_CHECK(c > 0x20 && c != 0x7f);

    std::string again;
    FUZZ_CHECK(DcdHttpTransport::judgeRedirect(status, requested, {{"location", location}}, again) ==
               DcdHttpTransport::Redirect::FOLLOW);
    FUZZ_CHECK(again == location);
  }
  return 0;
}
