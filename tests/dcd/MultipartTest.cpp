// The MIME parser and the two asset syntaxes.
#include <gtest/gtest.h>

#include <cstdlib>

#include "DcdTestSupport.h"
#include "platform/multipart.h"
#include "syntax/BinarySyntax.h"
#include "syntax/MultipartSyntax.h"
#include "txn/Primitives.h"

using namespace std::string_literals;

namespace {

struct Part {
  std::string contentId;  // "" when the part has none
  std::string contentType;
  std::string body;
  int readResult;  // kEndOfBody, or the error reading the body gives
};

std::string header(const multipart::Entity& entity, const char* name) {
  char* value = entity.getHeader(name);
  std::string out = value != nullptr ? value : "";
  std::free(value);
  return out;
}

std::string contentType(const multipart::Entity& entity) {
  char* value = entity.getContentType();
  std::string out = value != nullptr ? value : "";
  std::free(value);
  return out;
}

// Reads the body in small steps, so that chunking is exercised.
int readBody(multipart::Entity& entity, std::string& body) {
  char buffer[7];
  std::size_t count = 0;
  int rc;
  while ((rc = entity.readBodyStream(buffer, sizeof buffer, &count)) == multipart::kOk) {
    EXPECT_GT(count, 0u);
    body.append(buffer, count);
  }
  EXPECT_EQ(count, 0u);
  return rc;
}

std::vector<Part> parts(multipart::Entity& entity) {
  std::vector<Part> out;
  for (multipart::Entity* part = entity.getFirstChild(); part != nullptr; part = part->getNextSibling()) {
    Part p{header(*part, "Content-Id"), contentType(*part), "", 0};
    p.readResult = readBody(*part, p.body);
    out.push_back(p);
  }
  return out;
}

bool operator==(const Part& a, const Part& b) {
  return a.contentId == b.contentId && a.contentType == b.contentType && a.body == b.body &&
         a.readResult == b.readResult;
}

std::ostream& operator<<(std::ostream& out, const Part& p) {
  return out << "{" << p.contentId << ", " << p.contentType << ", " << testing::PrintToString(p.body) << ", "
             << p.readResult << "}";
}

const int kEnd = multipart::kEndOfBody;

}  // namespace

TEST(MultipartEntity, ParsesTheEntityTheSyntaxBuilds) {
  const std::string big(70 * 1024, 'h');
  std::string manyParts;
  for (std::size_t i = 0; i <= multipart::Entity::kMaxParts; ++i) manyParts += "--b\r\n\r\nx\r\n";
  manyParts += "--b--\r\n";
  struct Case {
    const char* what;
    std::string type;  // the Content-Type value
    std::string body;
    int parseResult;
    std::vector<Part> parts;
  };
  const Case cases[] = {
      {"CRLF, preamble and epilogue", "multipart/mixed; boundary=b1",
       "preamble\r\n--b1\r\nContent-Id: one\r\nContent-Type: image/gif\r\n\r\nGIF\r\n"
       "--b1\r\nContent-Id: two\r\nContent-Type: text/css\r\n\r\np{}\r\n--b1--\r\nepilogue\r\n--b1\r\n",
       0,
       {{"one", "image/gif", "GIF", kEnd}, {"two", "text/css", "p{}", kEnd}}},
      {"bare LF line ends", "multipart/mixed; boundary=b1",
       "--b1\nContent-Id: one\nContent-Type: text/plain\n\nline 1\nline 2\n--b1--\n",
       0,
       {{"one", "text/plain", "line 1\nline 2", kEnd}}},
      {"quoted boundary with blanks and colons", "multipart/related; type=\"x\"; boundary=\"a b:c=d\"",
       "--a b:c=d\r\nContent-Id: q\r\nContent-Type: a/b\r\n\r\nv\r\n--a b:c=d--",
       0,
       {{"q", "a/b", "v", kEnd}}},
      {"binary body with NUL bytes and boundary look-alikes", "Multipart/Mixed;BOUNDARY=bb",
       "--bb\r\nContent-Id: bin\r\nContent-Type: application/octet-stream\r\n\r\n"
       "\0\x01\r\n--bbx\r\n-- bb\n\0\r\n--bb  \r\n"
       "Content-Id: next\r\nContent-Type: text/plain\r\n\r\n\r\n--bb--"s,
       0,
       {{"bin", "application/octet-stream", "\0\x01\r\n--bbx\r\n-- bb\n\0"s, kEnd}, {"next", "text/plain", "", kEnd}}},
      {"header details: case, folding, parameters, no blank line", "multipart/mixed; boundary=z",
       "--z\r\ncontent-ID:   <folded\r\n  id>  \r\nCONTENT-TYPE: image/png; name=\"a.png\"\r\n\r\nPNG\r\n"
       "--z\r\nContent-Type: text/plain\r\nthis line is no header\r\n--z--\r\n",
       0,
       {{"<folded id>", "image/png", "PNG", kEnd}, {"", "text/plain", "this line is no header", kEnd}}},
      {"zero parts", "multipart/mixed; boundary=b", "--b--\r\n", 0, {}},
      {"unterminated last part", "multipart/mixed; boundary=b",
       "--b\r\nContent-Id: ok\r\nContent-Type: t/t\r\n\r\nfine\r\n--b\r\nContent-Id: cut\r\nContent-Type: t/t\r\n\r\nhal",
       0,
       {{"ok", "t/t", "fine", kEnd}, {"cut", "t/t", "", multipart::kErrUnterminated}}},
      {"huge part header", "multipart/mixed; boundary=b",
       "--b\r\nX-Big: " + big + "\r\nContent-Id: big\r\n\r\nbody\r\n--b\r\nContent-Id: small\r\n\r\nok\r\n--b--",
       0,
       {{"", "", "", multipart::kErrHeaderTooLarge}, {"small", "", "ok", kEnd}}},
      {"missing boundary parameter", "multipart/mixed", "--b\r\n\r\nx\r\n--b--", multipart::kErrNoBoundary, {}},
      {"empty boundary", "multipart/mixed; boundary=\"\"", "--\r\n\r\nx\r\n----", multipart::kErrNoBoundary, {}},
      {"boundary not in the body", "multipart/mixed; boundary=b", "just some text\r\n", multipart::kErrBoundaryNotFound,
       {}},
      {"boundary only as a prefix", "multipart/mixed; boundary=b", "x--b\r\n--bc\r\n", multipart::kErrBoundaryNotFound,
       {}},
      {"too many parts", "multipart/mixed; boundary=b", manyParts, multipart::kErrTooManyParts, {}},
      {"not multipart", "text/plain", "plain body", 0, {}},
  };
  for (const Case& c : cases) {
    const std::string text = "Content-Type:" + c.type + "\r\n" + c.body;
    multipart::Entity entity(text.data(), text.size());
    ASSERT_EQ(entity.parse(), c.parseResult) << c.what;
    if (c.parseResult != 0) {
      EXPECT_EQ(entity.getChildCount(), 0) << c.what;
      continue;
    }
    EXPECT_EQ(entity.getChildCount(), static_cast<int>(c.parts.size())) << c.what;
    EXPECT_EQ(parts(entity), c.parts) << c.what;
  }
}

TEST(MultipartEntity, WholeEntityAndBadCalls) {
  {
    const std::string text = "Content-Type: text/plain\r\nX-A: 1\r\n\r\nabc\0def"s;
    multipart::Entity entity(text.data(), text.size());
    std::string body;
    EXPECT_EQ(readBody(entity, body), multipart::kErrNotParsed);
    ASSERT_EQ(entity.parse(), 0);
    EXPECT_EQ(header(entity, "x-a"), "1");
    EXPECT_EQ(entity.getHeader("Missing"), nullptr);
    EXPECT_EQ(entity.getFirstChild(), nullptr);
    EXPECT_EQ(entity.getNextSibling(), nullptr);
    EXPECT_EQ(readBody(entity, body), kEnd);
    EXPECT_EQ(body, "abc\0def"s);
    std::size_t count = 5;
    char buffer[4];
    EXPECT_EQ(entity.readBodyStream(buffer, sizeof buffer, &count), kEnd) << "stays at the end";
    EXPECT_EQ(entity.readBodyStream(nullptr, 4, &count), multipart::kErrBadArgument);
    EXPECT_EQ(entity.readBodyStream(buffer, 0, &count), multipart::kErrBadArgument);
    EXPECT_EQ(entity.readBodyStream(buffer, sizeof buffer, nullptr), multipart::kErrBadArgument);
  }
  {
    multipart::Entity empty(nullptr, 0);
    EXPECT_EQ(empty.parse(), multipart::kErrNoData);
    const std::string big = "X-Big: " + std::string(multipart::Entity::kMaxHeaderBytes, 'h') + "\r\n\r\n";
    multipart::Entity huge(big.data(), big.size());
    EXPECT_EQ(huge.parse(), multipart::kErrHeaderTooLarge);
  }
  {
    // The parser works on its own copy.
    std::string text = "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Id: i\r\n\r\nv\r\n--b--";
    multipart::Entity entity(text.data(), text.size());
    text.assign(text.size(), '\0');
    ASSERT_EQ(entity.parse(), 0);
    EXPECT_EQ(parts(entity), (std::vector<Part>{{"i", "", "v", kEnd}}));
  }
}

TEST(MultipartSyntax, AnswersBecomeDataBlocks) {
  struct Block {
    std::string id, type, bytes;
    bool operator==(const Block& o) const { return id == o.id && type == o.type && bytes == o.bytes; }
  };
  struct Case {
    const char* what;
    dcd::SyntaxHeaders headers;
    std::string body;
    bool response;  // a response at all
    std::vector<Block> blocks;
    const char* logLine;
  };
  const std::string threeParts =
      "--b\r\nContent-Id: a\r\nContent-Type: image/gif\r\n\r\nA\r\n"
      "--b\r\nContent-Type: image/gif\r\n\r\nno id\r\n"
      "--b\r\nContent-Id: c\r\nContent-Type: text/css\r\n\r\nC\r\n--b--\r\n";
  const Case cases[] = {
      {"capitalised header name", {{"CONTENT-TYPE", "multipart/mixed; boundary=b"}}, threeParts, true,
       {{"a", "image/gif", "A"}, {"c", "text/css", "C"}}, "Unable to find the content-id for this part. Skipping."},
      {"no content-type header", {{"Content-Length", "10"}}, threeParts, false, {},
       "Server response did not include a content-type header."},
      {"part without content type", {{"content-type", "multipart/mixed; boundary=b"}},
       "--b\r\nContent-Id: a\r\n\r\nA\r\n--b\r\nContent-Id: e\r\nContent-Type: t/t\r\n\r\n\r\n--b--", true, {},
       "Unable to find the content-type for this part. Skipping."},
      {"zero parts", {{"Content-Type", "multipart/mixed; boundary=b"}}, "--b--\r\n", false, {},
       "No parts were found in the multipart MIME message."},
      {"not parseable", {{"Content-Type", "multipart/mixed"}}, threeParts, false, {},
       "Unable to parse the data block as a multipart MIME message. Got error 3"},
      {"unterminated part", {{"Content-Type", "multipart/mixed; boundary=b"}},
       "--b\r\nContent-Id: a\r\nContent-Type: t/t\r\n\r\nA\r\n--b\r\nContent-Id: b\r\nContent-Type: t/t\r\n\r\nB", true,
       {{"a", "t/t", "A"}}, "An error occurred while reading the data for this part."},
      {"NUL bytes and a large part", {{"Content-Type", "multipart/mixed; boundary=\"foobar123-1234\""}},
       "--foobar123-1234\r\nContent-Id: z\r\nContent-Type: application/octet-stream\r\n\r\n" +
           std::string(5000, '\0') + "\r\n--foobar123-1234--\r\n",
       true, {{"z", "application/octet-stream", std::string(5000, '\0')}}, nullptr},
      {"the file transport's own header line", {{"Content-Type", "multipart/mixed; boundary=\"x\""}},
       "Content-Type: multipart/mixed; boundary=\"x\"\r\n\r\n--x\r\nContent-Type: text/plain\r\nContent-Id: f\r\n\r\n"
       "F\r\n--x--\r\n",
       true, {{"f", "text/plain", "F"}}, nullptr},
  };
  for (const Case& c : cases) {
    LogCapture log;
    dcd::MultipartSyntax syntax;
    std::unique_ptr<txn::Primitive> p =
        syntax.marshall(c.headers, c.body.data(), static_cast<long>(c.body.size()), "ignored");
    ASSERT_EQ(p != nullptr, c.response) << c.what << ": " << log.text();
    if (c.logLine != nullptr) {
      EXPECT_TRUE(log.contains(c.logLine)) << c.what << ": " << log.text();
    }
    if (!p) continue;
    ASSERT_EQ(p->getType(), "DataResponse");
    std::vector<Block> blocks;
    for (const auto& block : static_cast<const txn::DataResponse&>(*p).getBlocks()) {
      blocks.push_back({block->getContentId(), block->getContentType(),
                        std::string(reinterpret_cast<const char*>(block->getBytes()), block->getLength())});
    }
    EXPECT_TRUE(blocks == c.blocks) << c.what;
  }

  const std::string seed = testData("assets.mime");
  dcd::MultipartSyntax syntax;
  std::unique_ptr<txn::Primitive> p = syntax.marshall({{"Content-Type", "multipart/mixed; boundary=foobar123-1234"}},
                                                      seed.data(), static_cast<long>(seed.size()), "UTF-8");
  ASSERT_NE(p, nullptr);
  const auto& response = static_cast<const txn::DataResponse&>(*p);
  ASSERT_EQ(response.getBlocks().size(), 2u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(response.getBlocks()[0]->getBytes()),
                        response.getBlocks()[0]->getLength()),
            "GIF89a\0\x01\x02\r\n--bound"s);
  EXPECT_EQ(response.getTransactionId(), nullptr);
  EXPECT_EQ(response.getResult(), nullptr);

  std::ostringstream out;
  EXPECT_FALSE(syntax.unmarshall(txn::DataRequestByIds(), out));
  EXPECT_EQ(out.str(), "");
}

TEST(BinarySyntax, TheWholeBodyIsOneBlock) {
  struct Case {
    const char* what;
    dcd::SyntaxHeaders headers;
    std::string contentType;
  };
  const Case cases[] = {
      {"exact header", {{"Content-Type", "image/gif"}, {"content-type", "other"}}, "image/gif"},
      {"any spelling", {{"content-type", "image/png"}}, "image/png"},
      {"no header", {{"Content-Length", "5"}}, ""},
  };
  const std::string body = "GIF\0\0\x89"s;
  for (const Case& c : cases) {
    dcd::BinarySyntax syntax("logo-1");
    std::unique_ptr<txn::Primitive> p = syntax.marshall(c.headers, body.data(), static_cast<long>(body.size()), "");
    ASSERT_NE(p, nullptr) << c.what;
    const auto& blocks = static_cast<const txn::DataResponse&>(*p).getBlocks();
    ASSERT_EQ(blocks.size(), 1u) << c.what;
    EXPECT_EQ(blocks[0]->getContentId(), "logo-1");
    EXPECT_EQ(blocks[0]->getContentType(), c.contentType) << c.what;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(blocks[0]->getBytes()), blocks[0]->getLength()), body);
  }
  LogCapture log;
  dcd::BinarySyntax unnamed("");
  EXPECT_NE(unnamed.marshall({}, "x", 1, ""), nullptr);
  EXPECT_TRUE(log.contains("Unable to determine the content-type of the data block. Setting to empty string."));
  EXPECT_TRUE(log.contains("Encountered an empty content-id"));
  std::ostringstream out;
  EXPECT_FALSE(unnamed.unmarshall(txn::DataRequestByUrl("i", "u"), out));
}
