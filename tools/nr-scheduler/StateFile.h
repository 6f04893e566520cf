// The scheduler's state on disk: $QUORVEL_HOME/scheduler.state, written by
// nr-scheduler after every change and read by it at start and by
// "nrctl status".
//
// Text, one record a line; fields are blank-separated and every text is
// percent-encoded, so a line always splits the same way:
//   # comment
//   waiting-for-network MS
//   version NAME due=MS retry-event=0|1 retry-type=T interval=MS result=CODE
//           last=MS retries=N state=NAME                     (one line)
//   pending KIND VERSION TRIGGER since=MS own=0|1 echo=0|1 type=T
//           announced-at=MS announced=MS                       (one line)
// MS are milliseconds since 1970 (intervals: milliseconds). Unknown fields
// are ignored; a line that does not parse is skipped with a log line, so a
// damaged file loses that line only. The file is replaced atomically (a
// temporary file, synced, renamed over it): a crash at any moment leaves the
// old or the new state, never a mix.
//
// Threads: plain functions; callers serialise access to one file.
#pragma once

#include <string>

#include "Scheduler.h"

namespace nrsched {

// $QUORVEL_HOME/scheduler.state.
std::string statePath();

// Reads path into out. A missing file is an empty state (true). False with
// a reason when the file exists but cannot be read; out then holds what was
// read.
bool loadState(const std::string& path, State& out, std::string& error);

// Writes state to path atomically. False with a reason.
bool saveState(const std::string& path, const State& state, std::string& error);

// The text form alone (for tests and tools).
std::string formatState(const State& state);
// Parses text; returns the number of lines skipped.
int parseState(const std::string& text, State& out);

}  // namespace nrsched
