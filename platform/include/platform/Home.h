// Where the services keep their state: QUORVEL_HOME, default /var/lib/quorvel.
//
// Threads: any.
#pragma once

#include <string>

namespace qvhome {
// The directory named by QUORVEL_HOME, or /var/lib/quorvel.
std::string path();
// Creates the directory (and parents) when missing and checks that it is
// writable. False with a one-line reason otherwise.
bool ensure(std::string& error);
}  // namespace qvhome
