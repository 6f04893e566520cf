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
// setting "FlpVersion" of category 12 (empty when absent).
void replacePatternsInURL(std::string& url);
}  // namespace NR_EngineUtils
