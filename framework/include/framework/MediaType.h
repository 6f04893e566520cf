// Content types of pushed messages read as media types: senders write the
// type in any case and add parameters such as "; charset=utf-8".
//
// Threads: any (pure functions).
#pragma once

#include <string>

struct MediaType {
  // "type/subtype" in lower case, without blanks and parameters; empty when
  // the text names no type/subtype.
  std::string essence;
  // The name, as written, of a parameter that asks for a security check of
  // the message (the SEC and MAC parameters of OMA client provisioning);
  // empty when there is none.
  std::string securityParameter;
};

MediaType readMediaType(const std::string& contentType);

// True when contentType names the media type expected (given in lower case),
// whatever its case and parameters.
bool isMediaType(const std::string& contentType, const char* expected);
