// Decoding of FLP 1.x answers without a network: header lists, the body
// reader, multipart splitting (byte-exact part bodies) and gzip inflation.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <utility>
#include <vector>

#include "../http/HttpTestSupport.h"
#include "HttpTypes.h"
#include "RecordingFacade.h"

namespace {

using Fields = std::vector<HeaderList::Field>;

TEST(HeaderList, ParsesLinesAndLooksUpIgnoringCase) {
  const std::string longValue(1 << 20, 'v');
  struct Case {
    const char* what;
    std::string text;
    Fields expected;
  } cases[] = {
      {"blanks around the value", "Content-Type:   text/xml  ", {{"Content-Type", "text/xml"}}},
      {"CR LF lines, an empty line ends the list",
       "A: 1\r\nB:2\r\n\r\nC: 3\r\n",
       {{"A", "1"}, {"B", "2"}}},
      {"split at the first colon", "Location: http://h:81/x", {{"Location", "http://h:81/x"}}},
      {"a line without a colon is skipped", "no colon here\nB: 2", {{"B", "2"}}},
      {"duplicates are kept", "A:1\nA:2", {{"A", "1"}, {"A", "2"}}},
      {"empty name and empty value", ":v\nE:\t\r\n", {{"", "v"}, {"E", ""}}},
      {"an absurdly long line", "Long: " + longValue, {{"Long", longValue}}},
      {"nothing", "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HeaderList list;
    list.parseHeaders(c.text);
    EXPECT_EQ(c.expected, list.fields());
  }

  HeaderList list;
  list.parseHeaders("Content-Type:   text/xml  \nX-Dup: first\nx-dup: second");
  EXPECT_EQ("text/xml", list.get("content-type"));
  EXPECT_EQ("first", list.get("X-DUP"));
  EXPECT_EQ("", list.get("Missing"));
  EXPECT_EQ(nullptr, list.find("Content-Typ"));
  EXPECT_EQ("Content-Type: text/xml\r\nX-Dup: first\r\nx-dup: second\r\n", list.toText());
}

TEST(BodyReader, ReadsLinesWithTheirEnds) {
  BodyReader reader(std::string("a\r\nb\n\nc", 7));
  const std::vector<std::string> expected = {"a\r\n", "b\n", "\n", "c"};
  for (const std::string& line : expected) {
    ASSERT_FALSE(reader.atEnd());
    EXPECT_EQ(line, reader.readLine());
  }
  EXPECT_TRUE(reader.atEnd());
  EXPECT_EQ("", reader.readLine());
  EXPECT_EQ("", reader.rest());
}

// Parses body as an answer with this Content-Type (none when empty).
HttpResponse parsed(const std::string& contentType, const std::string& body, bool& ok) {
  HttpResponse response;
  if (!contentType.empty()) response.mEntity.mHeaders.add("Content-Type", contentType);
  BodyReader reader(body);
  ok = response.parseBody(reader);
  return response;
}

struct Part {
  Fields headers;
  std::string body;
};

TEST(Multipart, SplitsPartsByteExact) {
  // Part bodies that end in line ends of their own, and hold CR, LF, NUL
  // and boundary-like text mid-line.
  const std::string png("\x89PNG\r\n\x1a\n\0\0\r\n", 13);
  const std::string text = "line one\r\n\r\nnot --XYZ at the start\r\n\r\n";
  struct Case {
    const char* what;
    std::string body;
    bool ok;
    std::vector<Part> parts;
    const char* logLine;  // expected in the log, or null
  } cases[] = {
      {"one part, CR LF",
       "--XYZ\r\nContent-Id: a\r\n\r\nhello\r\n--XYZ--\r\n",
       true,
       {{{{"Content-Id", "a"}}, "hello"}},
       nullptr},
      {"one part, LF", "--XYZ\nContent-Id: a\n\nhello\n--XYZ--\n", true, {{{{"Content-Id", "a"}}, "hello"}}, nullptr},
      {"binary and text parts keep every byte",
       "--XYZ\r\nContent-Id: p\r\nContent-Type: image/png\r\n\r\n" + png + "\r\n--XYZ\r\nContent-Id: t\r\n\r\n" +
           text + "\r\n--XYZ--\r\n",
       true,
       {{{{"Content-Id", "p"}, {"Content-Type", "image/png"}}, png}, {{{"Content-Id", "t"}}, text}},
       nullptr},
      {"an empty body and a part without headers",
       "--XYZ\r\nContent-Id: e\r\n\r\n--XYZ\r\n\r\nbare\r\n--XYZ--",
       true,
       {{{{"Content-Id", "e"}}, ""}, {{}, "bare"}},
       nullptr},
      {"a last line without a line feed is read to its end",
       "--XYZ\r\nContent-Id: a\r\n\r\nhello\r\nworld",
       true,
       {{{{"Content-Id", "a"}}, "hello\r\nworld"}},
       nullptr},
      {"bytes after the closing boundary make one more part",
       "--XYZ\r\nContent-Id: a\r\n\r\nx\r\n--XYZ--\r\n\r\n",
       true,
       {{{{"Content-Id", "a"}}, "x"}, {{}, ""}},
       nullptr},
      {"a preamble", "preamble\r\n--XYZ\r\nContent-Id: a\r\n\r\nhello\r\n--XYZ--\r\n", false, {},
       "First line not equals to boundary!"},
      {"an unclosed header block", "--XYZ\r\nContent-Id: a\r\n", false, {}, "is not ended by an empty line"},
      {"an empty body", "", false, {}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LogCapture log;
    bool ok = false;
    HttpResponse response = parsed("multipart/mixed; boundary=XYZ", c.body, ok);
    EXPECT_EQ(c.ok, ok);
    ASSERT_TRUE(response.mIsMultipart);
    ASSERT_TRUE(response.mMultipart);
    EXPECT_EQ("--XYZ", response.mMultipart->mBoundaryLine);
    EXPECT_EQ("", response.mEntity.mBody);
    if (c.logLine != nullptr) {
      EXPECT_TRUE(log.contains(c.logLine)) << log.text();
    }
    if (!c.ok) continue;
    ASSERT_EQ(c.parts.size(), response.mMultipart->mParts.size());
    auto part = response.mMultipart->mParts.begin();
    for (const Part& expected : c.parts) {
      EXPECT_EQ(expected.headers, (*part)->mHeaders.fields());
      EXPECT_EQ(expected.body, (*part)->mBody);
      ++part;
    }
  }
}

TEST(Multipart, ABodyWithoutBoundaryIsKeptWhole) {
  const std::string body = "--XYZ\r\n\r\nnot split\r\n";
  for (const char* type : {"", "text/xml", "multipart/mixed"}) {
    SCOPED_TRACE(type);
    bool ok = false;
    HttpResponse response = parsed(type, body, ok);
    EXPECT_TRUE(ok);
    EXPECT_FALSE(response.mIsMultipart);
    EXPECT_EQ(body, response.mEntity.mBody);
  }
}

TEST(Multipart, PartAndHeaderCountsAreBounded) {
  auto parts = [](std::size_t count) {
    std::string body;
    for (std::size_t i = 0; i < count; ++i) body += "--B\nContent-Id: " + std::to_string(i) + "\n\nx\n";
    return body + "--B--\n";
  };
  std::string manyHeaders = "--B\n";
  for (std::size_t i = 0; i <= Multipart::kMaxHeaderLines; ++i) manyHeaders += "H: " + std::to_string(i) + "\n";
  manyHeaders += "\nx\n--B--\n";
  struct Case {
    const char* what;
    std::string body;
    bool ok;
  } cases[] = {
      {"as many parts as allowed", parts(Multipart::kMaxParts), true},
      {"one part more", parts(Multipart::kMaxParts + 1), false},
      {"one header line more than allowed", manyHeaders, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LogCapture log;
    bool ok = false;
    HttpResponse response = parsed("multipart/mixed; boundary=B", c.body, ok);
    EXPECT_EQ(c.ok, ok);
    if (c.ok) {
      EXPECT_EQ(Multipart::kMaxParts, response.mMultipart->mParts.size());
    }
  }
}

std::string zlibFormat(const std::string& text) {
  uLongf size = compressBound(text.size());
  std::string out(size, '\0');
  if (compress(reinterpret_cast<Bytef*>(&out[0]), &size, reinterpret_cast<const Bytef*>(text.data()), text.size()) !=
      Z_OK) {
    return std::string();
  }
  out.resize(size);
  return out;
}

TEST(Unzip, InflatesToTheEndWithinTheBound) {
  const std::string small = "<sync-pkg/>";
  const std::string medium = qvtest::patternBody(20000);   // past the first buffer
  const std::string large = qvtest::patternBody(300000);   // far past 32 KiB
  const std::string zeros(8u << 20, '\0');                  // a small stream that inflates a lot
  const std::string gzLarge = qvtest::gzipped(large);
  ASSERT_FALSE(gzLarge.empty());
  const char* firstTime = "[UNZIP]Uncompress got error in the first time and it's not buffer error(-3).";
  const char* secondTime = "[UNZIP]Uncompress got error in the second time.";
  struct Case {
    const char* what;
    std::string input;
    std::size_t bound;
    bool ok;
    std::string expected;
    const char* logLine;
  } cases[] = {
      {"small", qvtest::gzipped(small), 1 << 20, true, small, nullptr},
      {"medium", qvtest::gzipped(medium), 1 << 20, true, medium, nullptr},
      {"large", gzLarge, 1 << 20, true, large, nullptr},
      {"exactly the bound", gzLarge, large.size(), true, large, nullptr},
      {"one byte over the bound", gzLarge, large.size() - 1, false, "", secondTime},
      {"inflates without end", qvtest::gzipped(zeros), 1 << 20, false, "", secondTime},
      {"trailing bytes after the stream", qvtest::gzipped(small) + "junk", 1 << 20, true, small, nullptr},
      {"not compressed", "<sync-pkg/>", 1 << 20, false, "", firstTime},
      {"zlib format, not gzip", zlibFormat(small), 1 << 20, false, "", firstTime},
      {"truncated", gzLarge.substr(0, gzLarge.size() / 2), 1 << 20, false, "", secondTime},
      {"truncated early", qvtest::gzipped(small).substr(0, 12), 1 << 20, false, "", firstTime},
      {"empty", "", 1 << 20, false, "", firstTime},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LogCapture log;
    std::string out = "stale";
    EXPECT_EQ(c.ok, unzip(c.input, out, c.bound));
    EXPECT_TRUE(out == c.expected) << out.size() << " bytes";
    if (c.logLine != nullptr) {
      EXPECT_TRUE(log.contains(c.logLine)) << log.text();
    }
  }
}

}  // namespace
