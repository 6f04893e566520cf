// The FLP 1.x push path over arbitrary bytes: the first byte picks the
// content type (Service Loading as text or tokenized, provisioning as XML
// text or as WBXML, or another type), the rest is the pushed body, read the way the
// engine reads it before it acts. Whatever the bytes, the reading ends with
// a plan exactly when it succeeds, and a Service Loading plan holds a path
// that is safe to request.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Flp1xProtocol.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const char* const kTypes[] = {Flp1xProtocol::kServiceLoadingType, Flp1xProtocol::kProvisioningXmlType,
                                       Flp1xProtocol::kProvisioningWbxmlType, Flp1xProtocol::kServiceLoadingWbxmlType,
                                       "text/plain"};
  const std::string type = kTypes[data[0] % 5];
  const bool serviceLoading =
      type == Flp1xProtocol::kServiceLoadingType || type == Flp1xProtocol::kServiceLoadingWbxmlType;
  const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);

  Flp1xProtocol::PushPlan plan;
  const bool ok = Flp1xProtocol::readPush(type, body, plan);
  FUZZ_CHECK(ok == (plan.kind != Flp1xProtocol::PushPlan::NONE));
  if (!ok) return 0;
  if (plan.kind == Flp1xProtocol::PushPlan::SERVICE_LOADING) {
    FUZZ_CHECK(serviceLoading);
    FUZZ_CHECK(!plan.nextPath.empty() && plan.nextPath[0] == '/');
    for (unsigned char c : plan.nextPath) FUZZ_CHECK(c > 0x20 && c != 0x7f);
  } else {
    FUZZ_CHECK(!serviceLoading && type != "text/plain");
  }
  return 0;
}
