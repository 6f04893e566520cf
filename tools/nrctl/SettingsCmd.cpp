// nrctl settings get|set|list|import
//
// Import file format: one setting a line, "NAME[:TYPE] = VALUE", TYPE one of
// int, bool, string (default: the type the key already has, else string);
// blank lines and lines starting with '#' are skipped; VALUE runs to the end
// of the line with surrounding blanks removed.
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "Nrctl.h"
#include "platform/Settings.h"
#include "platform/Types.h"

namespace nrctl {
namespace {

using Type = QuorvelSettingMgr::Type;

const char* typeName(Type t) {
  switch (t) {
    case Type::INT: return "int";
    case Type::BOOLEAN: return "bool";
    default: return "string";
  }
}

bool parseType(const std::string& text, Type& out) {
  if (text == "int") out = Type::INT;
  else if (text == "bool" || text == "boolean") out = Type::BOOLEAN;
  else if (text == "string") out = Type::STRING;
  else return false;
  return true;
}

std::string trim(const std::string& s) {
  const char* blanks = " \t\r\n";
  std::string::size_type b = s.find_first_not_of(blanks);
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

std::string fullName(int category, const std::string& key) {
  const char* name = QuorvelSettingMgr::categoryName(category);
  return (name != nullptr ? std::string(name) : std::to_string(category)) + "." + key;
}

QuorvelSettingMgr* manager() {
  QuorvelSettingMgr* mgr = QuorvelSettingMgr::getSettingMgrInstance();
  if (mgr == nullptr) std::fprintf(stderr, "nrctl: cannot open the settings store\n");
  return mgr;
}

bool findType(QuorvelSettingMgr& mgr, int category, const std::string& key, Type& type) {
  for (const auto& e : mgr.list()) {
    if (e.category == category && e.key == key) {
      type = e.type;
      return true;
    }
  }
  return false;
}

// Writes one value; false with a message on a bad value.
bool writeValue(QuorvelSettingMgr& mgr, const std::string& name, const std::string& value,
                const std::string& typeText, std::string& error) {
  int category = 0;
  std::string key;
  if (!QuorvelSettingMgr::splitFullName(name, category, key)) {
    error = "'" + name + "' is in no settings category";
    return false;
  }
  Type type = Type::STRING;
  if (!typeText.empty()) {
    if (!parseType(typeText, type)) {
      error = "unknown type '" + typeText + "' (int, bool or string)";
      return false;
    }
  } else {
    findType(mgr, category, key, type);
  }
  int rc = 0;
  if (type == Type::INT) {
    char* end = nullptr;
    long v = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || v < INT32_MIN || v > INT32_MAX) {
      error = "'" + value + "' is not a 32-bit integer";
      return false;
    }
    rc = mgr.setInt(category, key, static_cast<int>(v));
  } else if (type == Type::BOOLEAN) {
    if (value != "true" && value != "false" && value != "1" && value != "0") {
      error = "'" + value + "' is not true or false";
      return false;
    }
    rc = mgr.setBoolean(category, key, value == "true" || value == "1");
  } else {
    rc = mgr.setString(category, key, MString::toWide(value));
  }
  if (rc != 0) {
    error = "cannot write " + name;
    return false;
  }
  return true;
}

}  // namespace

int cmdSettings(int argc, char** argv) {
  Args args;
  std::string error;
  if (!parseArgs(argc, argv, 2, {"--type"}, {"--json"}, args, error)) return usageError("settings: " + error);
  if (args.positional.empty()) return usageError("settings: expected get, set, list or import");
  const std::string sub = args.positional[0];
  const size_t n = args.positional.size();

  if (sub == "get") {
    if (n != 2) return usageError("settings get: expected NAME");
    QuorvelSettingMgr* mgr = manager();
    if (mgr == nullptr) return kExitError;
    int category = 0;
    std::string key;
    if (!QuorvelSettingMgr::splitFullName(args.positional[1], category, key)) {
      std::fprintf(stderr, "nrctl: '%s' is in no settings category\n", args.positional[1].c_str());
      return kExitError;
    }
    for (const auto& e : mgr->list()) {
      if (e.category == category && e.key == key) {
        std::printf("%s\n", e.value.c_str());
        return kExitOk;
      }
    }
    std::fprintf(stderr, "nrctl: %s is not set\n", args.positional[1].c_str());
    return kExitError;
  }
  if (sub == "set") {
    if (n != 3) return usageError("settings set: expected NAME VALUE");
    QuorvelSettingMgr* mgr = manager();
    if (mgr == nullptr) return kExitError;
    if (!writeValue(*mgr, args.positional[1], args.positional[2], args.get("--type"), error)) {
      std::fprintf(stderr, "nrctl: %s\n", error.c_str());
      return kExitError;
    }
    return kExitOk;
  }
  if (sub == "list") {
    if (n != 1) return usageError("settings list: takes no arguments");
    QuorvelSettingMgr* mgr = manager();
    if (mgr == nullptr) return kExitError;
    const bool json = args.has("--json");
    if (json) std::printf("[");
    bool first = true;
    for (const auto& e : mgr->list()) {
      const std::string name = fullName(e.category, e.key);
      if (json) {
        std::printf("%s{\"name\":%s,\"category\":%d,\"key\":%s,\"type\":\"%s\",\"value\":%s}", first ? "" : ",",
                    jsonString(name).c_str(), e.category, jsonString(e.key).c_str(), typeName(e.type),
                    jsonString(e.value).c_str());
      } else {
        std::printf("%s (%s) = %s\n", name.c_str(), typeName(e.type), e.value.c_str());
      }
      first = false;
    }
    if (json) std::printf("]\n");
    return kExitOk;
  }
  if (sub == "import") {
    if (n != 2) return usageError("settings import: expected FILE");
    std::ifstream in(args.positional[1]);
    if (!in) {
      std::fprintf(stderr, "nrctl: cannot read %s\n", args.positional[1].c_str());
      return kExitError;
    }
    QuorvelSettingMgr* mgr = manager();
    if (mgr == nullptr) return kExitError;
    std::string line;
    int lineNo = 0;
    int written = 0;
    int failed = 0;
    while (std::getline(in, line)) {
      ++lineNo;
      std::string text = trim(line);
      if (text.empty() || text[0] == '#') continue;
      std::string::size_type eq = text.find('=');
      if (eq == std::string::npos) {
        std::fprintf(stderr, "nrctl: %s:%d: expected NAME[:TYPE] = VALUE\n", args.positional[1].c_str(), lineNo);
        ++failed;
        continue;
      }
      std::string name = trim(text.substr(0, eq));
      std::string value = trim(text.substr(eq + 1));
      std::string type;
      std::string::size_type colon = name.rfind(':');
      if (colon != std::string::npos) {
        type = trim(name.substr(colon + 1));
        name = trim(name.substr(0, colon));
      }
      if (!writeValue(*mgr, name, value, type, error)) {
        std::fprintf(stderr, "nrctl: %s:%d: %s\n", args.positional[1].c_str(), lineNo, error.c_str());
        ++failed;
        continue;
      }
      ++written;
    }
    std::printf("imported %d setting%s%s\n", written, written == 1 ? "" : "s",
                failed != 0 ? (", " + std::to_string(failed) + " failed").c_str() : "");
    return failed == 0 ? kExitOk : kExitError;
  }
  return usageError("settings: unknown subcommand '" + sub + "'");
}

}  // namespace nrctl
