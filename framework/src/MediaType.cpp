#include "framework/MediaType.h"

#include <strings.h>

#include <cctype>

namespace {

std::string trimmed(const std::string& text) {
  std::string::size_type begin = 0;
  std::string::size_type end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  return text.substr(begin, end - begin);
}

bool isTokenChar(unsigned char c) {
  static const char kSpecials[] = "()<>@,;:\\\"/[]?={} \t";
  if (c <= 0x20 || c >= 0x7f) return false;
  for (const char* s = kSpecials; *s != '\0'; ++s)
    if (c == static_cast<unsigned char>(*s)) return false;
  return true;
}

// type "/" subtype, both tokens.
bool isEssence(const std::string& text) {
  const std::string::size_type slash = text.find('/');
  if (slash == std::string::npos || slash == 0 || slash + 1 == text.size()) return false;
  for (std::string::size_type i = 0; i < text.size(); ++i)
    if (i != slash && !isTokenChar(static_cast<unsigned char>(text[i]))) return false;
  return true;
}

}  // namespace

MediaType readMediaType(const std::string& contentType) {
  MediaType out;
  std::string::size_type semicolon = contentType.find(';');
  std::string essence = trimmed(contentType.substr(0, semicolon));
  if (isEssence(essence)) {
    for (char& c : essence) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    out.essence = essence;
  }
  // Parameters: name=value pairs after semicolons. Quoted values may hold a
  // semicolon; a parameter name is looked at only where it starts.
  bool quoted = false;
  for (std::string::size_type at = semicolon; at != std::string::npos && at < contentType.size();) {
    const std::string::size_type start = at + 1;
    std::string::size_type next = start;
    for (; next < contentType.size(); ++next) {
      const char c = contentType[next];
      if (c == '"') quoted = !quoted;
      if (c == '\\' && quoted) ++next;
      if (c == ';' && !quoted) break;
    }
    const std::string parameter = contentType.substr(start, next - start);
    const std::string name = trimmed(parameter.substr(0, parameter.find('=')));
    if (out.securityParameter.empty() && (strcasecmp(name.c_str(), "SEC") == 0 || strcasecmp(name.c_str(), "MAC") == 0))
      out.securityParameter = name;
    at = next < contentType.size() ? next : std::string::npos;
  }
  return out;
}

bool isMediaType(const std::string& contentType, const char* expected) {
  return readMediaType(contentType).essence == expected;
}
