// The common start of both daemons: checks the environment, runs a
// ProtocolApp on the executable's factory, and turns SIGTERM/SIGINT into an
// accepted shutdown.
//
// Threads: main thread only.
#pragma once

#include "framework/ProtocolApp.h"

struct ServiceMainOptions {
  const char* name;      // program name for error lines
  bool traceMainSteps;   // the FLP 1.x daemon traces its main's steps
  const char* busName;   // the well-known name owned on the bus
  const char* objectPath;  // where the service interface is exported
};

// Returns the process exit status: 0 after a shutdown, 1 when the bus or
// QUORVEL_HOME is unusable, another instance owns the bus name or the bus
// refused a subscription (one line on standard error says why).
int serviceMain(ProtocolFactory& factory, const ServiceMainOptions& options);
