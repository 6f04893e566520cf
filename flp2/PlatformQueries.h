// The engine's device queries: each asks the platform facade (or the content
// cache) for one fact and falls back to a default, with a log line, when the
// facade is missing or the query fails. They never fail their caller.
//
// Threads: any; the facade and the content cache serialise themselves.
#pragma once

#include <string>

class QV_EventAndStatusFacade;

namespace flp2 {

enum DataNetworkStatus { NETWORK_OTHER = 0, NETWORK_3G = 1, NETWORK_UNKNOWN = 2 };

// All texts are UTF-8; a null facade gives the default.
std::string queryMsisdn(QV_EventAndStatusFacade* facade);
std::string querySoftwareVersion(QV_EventAndStatusFacade* facade);
std::string queryModelId(QV_EventAndStatusFacade* facade);
std::string queryLanguageCode(QV_EventAndStatusFacade* facade);
// The installed language codes joined with ",".
std::string queryInstalledLanguages(QV_EventAndStatusFacade* facade);
// "true" when network time is available, else "false".
std::string queryTimeReliable(QV_EventAndStatusFacade* facade);
// The current time as ISO 8601 text in UTC ("1970-01-01T00:00:00+0000").
std::string queryCurrentTime(QV_EventAndStatusFacade* facade);
DataNetworkStatus queryDataNetworkStatus(QV_EventAndStatusFacade* facade);
// Free storage in kilobytes as decimal text, "" without a content cache.
std::string queryStorageAvailable();

// seconds since 1970 as "%Y-%m-%dT%H:%M:%S%z" in UTC; "" when it cannot be
// converted.
std::string toIso8601(long seconds);

}  // namespace flp2
