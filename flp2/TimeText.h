// The DCD time texts: ISO 8601 timestamps with an optional zone and ISO 8601
// durations in weeks, days, hours, minutes and seconds.
//
// Threads: any (the regular expressions are compiled once, thread-safely,
// and only read afterwards).
#pragma once

#include <string>

namespace flp2 {

// "YYYY-MM-DDTHH:MM:SS" followed by an optional zone: "+HH:MM"/"-HH:MM"
// gives that offset, "Z" is UTC, no zone means local time. out is seconds
// since 1970. False (after a log line) when the text is not such a time.
bool parseTimestamp(const std::string& text, long& out);

// "P[nW][nD][T[nH][nM][nS]]" as a number of seconds. Months and years are
// not accepted; a unit without digits, or a sum that does not fit, fails.
bool parseDuration(const std::string& text, long& seconds);

// A lifespan time text: a duration (text starting with "P") is counted from
// now, anything else is a timestamp.
bool convertTimeText(const std::string& text, long now, long& out);

}  // namespace flp2
