// Sending events, shared by the facade and the event service.
//
// Threads: any; the sending connection is locked inside.
#pragma once

#include <map>
#include <string>

namespace qvbus {

// Sends one event over the process's sending connection, opening it (or
// reopening it after the bus dropped it) when needed. 0 on success;
// non-zero after one log line.
int publishEvent(const std::string& topic, const std::map<std::string, std::string>& properties,
                 const std::string& payload);

}  // namespace qvbus
