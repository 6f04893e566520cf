#include "TimeText.h"

#include <regex.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "platform/Log.h"

namespace flp2 {

namespace {

struct RegexFree {
  void operator()(regex_t* re) const {
    regfree(re);
    delete re;
  }
};
using RegexPtr = std::unique_ptr<regex_t, RegexFree>;

RegexPtr compile(const char* pattern) {
  std::unique_ptr<regex_t> re(new regex_t);
  if (regcomp(re.get(), pattern, REG_EXTENDED) != 0) {
    QV_LOG(3, "Unable to compile the regular expression %s", pattern);
    return RegexPtr();
  }
  return RegexPtr(re.release());
}

const regex_t* zoneRegex() {
  static const RegexPtr re = compile("([+-])([0-9]{2}):([0-9]{2})$");
  return re.get();
}

const regex_t* durationRegex() {
  static const RegexPtr re = compile("^P([0-9]*W)?([0-9]*D)?(T([0-9]*H)?([0-9]*M)?([0-9]*S)?)?$");
  return re.get();
}

std::string subMatch(const std::string& text, const regmatch_t& m) {
  if (m.rm_so < 0) return std::string();
  return text.substr(static_cast<std::size_t>(m.rm_so), static_cast<std::size_t>(m.rm_eo - m.rm_so));
}

std::string asUtcText(long seconds) {
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm parts{};
  char buffer[64];
  if (gmtime_r(&t, &parts) == nullptr || asctime_r(&parts, buffer) == nullptr) return "?";
  std::string text = buffer;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

}  // namespace

bool parseTimestamp(const std::string& text, long& out) {
  static const char kFormat[] = "%FT%T";
  std::tm fields{};
  const char* rest = strptime(text.c_str(), kFormat, &fields);
  if (rest == nullptr) {
    QV_LOG(3, "Unable to parse this time %s as a time using this format, %s.", text.c_str(), kFormat);
    return false;
  }
  const regex_t* zone = zoneRegex();
  regmatch_t m[4];
  std::time_t result;
  if (zone != nullptr && regexec(zone, text.c_str(), 4, m, 0) == 0) {
    long sign = subMatch(text, m[1]) == "+" ? 1 : -1;
    long hours = std::strtol(subMatch(text, m[2]).c_str(), nullptr, 10);
    long minutes = std::strtol(subMatch(text, m[3]).c_str(), nullptr, 10);
    long offset = sign * (hours * 3600 + minutes * 60);
    QV_LOG(
        3,
        "This timestamp, %s, is associated with the timezone with the GMT offset (seconds east of the GMT line), %ld",
        text.c_str(), offset);
    errno = 0;
    result = timegm(&fields);
    if (result == static_cast<std::time_t>(-1) && errno != 0) {
      QV_LOG(3, "Unable to parse this time %s as a time using this format, %s.", text.c_str(), kFormat);
      return false;
    }
    result -= offset;
  } else if (!text.empty() && text.back() == 'Z') {
    // "Z" is UTC, the offset +00:00.
    errno = 0;
    result = timegm(&fields);
    if (result == static_cast<std::time_t>(-1) && errno != 0) {
      QV_LOG(3, "Unable to parse this time %s as a time using this format, %s.", text.c_str(), kFormat);
      return false;
    }
  } else {
    fields.tm_isdst = -1;
    errno = 0;
    result = std::mktime(&fields);
    if (result == static_cast<std::time_t>(-1) && errno != 0) {
      QV_LOG(3, "Unable to parse this time %s as a time using this format, %s.", text.c_str(), kFormat);
      return false;
    }
  }
  out = static_cast<long>(result);
  QV_LOG(3, "Successfully parsed this timestamp %s as the UTC time, %s", text.c_str(), asUtcText(out).c_str());
  return true;
}

bool parseDuration(const std::string& text, long& seconds) {
  const regex_t* re = durationRegex();
  regmatch_t m[7];
  if (re == nullptr || regexec(re, text.c_str(), 7, m, 0) != 0) return false;
  struct Unit {
    int match;
    const char* name;
    long seconds;
  };
  static const Unit kUnits[] = {
      {1, "week", 604800}, {2, "day", 86400}, {4, "hour", 3600}, {5, "minute", 60}, {6, "second", 1}};
  long total = 0;
  for (const Unit& unit : kUnits) {
    if (m[unit.match].rm_so < 0) continue;
    std::string piece = subMatch(text, m[unit.match]);
    std::string digits = piece.substr(0, piece.size() - 1);  // without the unit letter
    char* end = nullptr;
    errno = 0;
    long n = digits.empty() ? 0 : std::strtol(digits.c_str(), &end, 10);
    long part = 0;
    if (digits.empty() || errno == ERANGE || *end != '\0' || __builtin_mul_overflow(n, unit.seconds, &part) ||
        __builtin_add_overflow(total, part, &total)) {
      QV_LOG(3, "Unable to convert %s to a time-unit value", piece.c_str());
      return false;
    }
    QV_LOG(8, "  %s : %s", unit.name, digits.c_str());
  }
  seconds = total;
  return true;
}

bool convertTimeText(const std::string& text, long now, long& out) {
  bool ok = false;
  if (!text.empty() && text[0] == 'P') {
    long duration = 0;
    ok = parseDuration(text, duration) && !__builtin_add_overflow(now, duration, &out);
    if (ok) {
      QV_LOG(8, "Got cumulative time duration %ld. When added to the current time, this results in the time, %s",
             duration, asUtcText(out).c_str());
    }
  } else {
    ok = parseTimestamp(text, out);
  }
  if (!ok) QV_LOG(3, "Unable to convert the timestamp string, %s, into a timestamp", text.c_str());
  return ok;
}

}  // namespace flp2
