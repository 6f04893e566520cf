// Small platform helpers for the engines.
//
// Threads: any.
#pragma once

#include <string>

namespace NR_EngineUtils {
// Whether the device currently allows network access: the boolean setting
// "NetworkAccessAllowed" of category 12 (true when absent).
bool isNetworkAccessAllowed();
// Replaces "@DEVICE_MODEL@", "@FL_CLIENT_SW_VERSION@", "@FLP_VERSION@" and
// "@MSISDN@" in url with the device's values, URL-encoded. The client
// software version is the build's version; the FLP version is the device
// setting "FlpVersion" of category 12 (empty when absent); the model and the
// MSISDN come from QV_EventAndStatusFacade::instance(). Every occurrence is
// replaced, in one pass from left to right (substituted text is not scanned
// again); a value the device does not know becomes the empty text. Values
// are percent-encoded except the unreserved characters A-Z a-z 0-9 - . _ ~.
void replacePatternsInURL(std::string& url);
}  // namespace NR_EngineUtils
