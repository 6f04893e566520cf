// Pushed content types compared as media types.
#include <gtest/gtest.h>

#include "framework/MediaType.h"

namespace {

TEST(MediaType, ComparedWithoutCaseAndParameters) {
  const struct {
    const char* contentType;
    const char* essence;
    const char* security;
  } cases[] = {
      {"text/vnd.wap.sl", "text/vnd.wap.sl", ""},
      {"Text/VND.WAP.SL", "text/vnd.wap.sl", ""},
      {"text/vnd.wap.sl; charset=utf-8", "text/vnd.wap.sl", ""},
      {"  application/vnd.wap.connectivity-wbxml ;charset=\"a;b\" ", "application/vnd.wap.connectivity-wbxml", ""},
      {"application/vnd.wap.connectivity-wbxml; SEC=USERPIN; MAC=0A1B", "application/vnd.wap.connectivity-wbxml",
       "SEC"},
      {"application/vnd.wap.connectivity-wbxml;mac=12", "application/vnd.wap.connectivity-wbxml", "mac"},
      {"text/plain; name=\"x; SEC=1\"", "text/plain", ""},  // inside a quoted value: not a parameter
      {"text/plain; secure=1", "text/plain", ""},
      {"text/vnd.wap.sl x", "", ""},
      {"text", "", ""},
      {"/sl", "", ""},
      {"text/", "", ""},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    const MediaType media = readMediaType(c.contentType);
    EXPECT_EQ(c.essence, media.essence) << c.contentType;
    EXPECT_EQ(c.security, media.securityParameter) << c.contentType;
  }
  EXPECT_TRUE(isMediaType("Application/Vnd.Kestrova.Quorvel+XML; charset=UTF-8", "application/vnd.kestrova.quorvel+xml"));
  EXPECT_FALSE(isMediaType("application/vnd.kestrova.quorvel+xml2", "application/vnd.kestrova.quorvel+xml"));
}

}  // namespace
