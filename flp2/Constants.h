// Constants shared by every part of the FLP 2.0 engine.
//
// Threads: read-only, any thread.
#pragma once

namespace flp2 {

// Container of all channels and items when the settings do not name exactly
// one.
extern const char* const kDefaultContainerName;  // "container1"
// The DCD application this client is.
extern const char* const kApplicationUrn;   // "x-oma-kestrova:quorvel.ua"
extern const char* const kApplicationName;  // "NewsReader"
// Channel attribute holding the channel's sync anchor, and the qualifier
// under which channel attributes are read and written.
extern const char* const kChannelSyncAnchorAttr;  // "flp2.channel.syncanchor"
extern const char* const kDefaultAttrQualifier;   // "_default_"

// Request states this engine sets (REQUEST_NEW and REQUEST_CANCELLED come
// from the framework).
constexpr int STATE_TRANSACTION_STARTED = 1;
constexpr int STATE_RESPONSE_RECEIVED = 2;
constexpr int STATE_CONTENT_STORED = 3;
constexpr int STATE_DATA_TRANSACTION_STARTED = 5;
constexpr int STATE_SAVING_DATA = 6;
constexpr int STATE_DATA_REQUESTS_DONE = 8;
constexpr int STATE_UPDATE_OVER = 10;

// The result code that tells the session variant to register again.
constexpr int SESSION_ERROR = 4;

}  // namespace flp2
