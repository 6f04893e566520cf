#include "Constants.h"

namespace flp2 {

const char* const kDefaultContainerName = "container1";
const char* const kApplicationUrn = "x-oma-kestrova:quorvel.ua";
const char* const kApplicationName = "NewsReader";
const char* const kChannelSyncAnchorAttr = "flp2.channel.syncanchor";
const char* const kDefaultAttrQualifier = "_default_";

}  // namespace flp2
