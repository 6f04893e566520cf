// Topic texts of the platform's own events. All are valid D-Bus object paths.
#pragma once

namespace NR_Constants {
extern const char* const EVENT_NOTIFY_NETWORK_AVAILABLE;
extern const char* const EVENT_NOTIFY_NETWORK_ERROR;
// Published by QuorvelSettingMgr::notifySettingModeChange.
extern const char* const EVENT_SETTING_MODE_CHANGE;
}  // namespace NR_Constants
