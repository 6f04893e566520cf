#include "platform/NR_Constants.h"

namespace NR_Constants {
const char* const EVENT_NOTIFY_NETWORK_AVAILABLE = "/kestrova/quorvel/newsreader/notify/networkavailable";
const char* const EVENT_NOTIFY_NETWORK_ERROR = "/kestrova/quorvel/newsreader/notify/networkerror";
const char* const EVENT_SETTING_MODE_CHANGE = "/kestrova/quorvel/newsreader/settings/modechange";
}  // namespace NR_Constants
