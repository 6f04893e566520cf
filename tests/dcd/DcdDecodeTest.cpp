// "nrctl dcd decode": the reader driven from the command line. The command
// itself is built into nrctl; its source is compiled into this test too.
#include <gtest/gtest.h>

#include <vector>

#include "../../tools/nrctl/DcdDecode.cpp"
#include "DcdTestSupport.h"

namespace {

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome decode(std::vector<std::string> args) {
  args.insert(args.begin(), "decode");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  int status = nrctlDcdDecode(static_cast<int>(args.size()), argv.data());
  Outcome outcome{status, "", ""};
  outcome.out = testing::internal::GetCapturedStdout();
  outcome.err = testing::internal::GetCapturedStderr();
  return outcome;
}

std::string seed(const std::string& name) { return std::string(QV_SOURCE_DIR) + "/tests/dcd/data/" + name; }

}  // namespace

TEST(DcdDecode, PrintsResponsesAndDataBlocks) {
  Outcome xml = decode({seed("status-error.xml")});
  EXPECT_EQ(xml.status, 0) << xml.err;
  EXPECT_EQ(xml.out.substr(0, 31), " [Status]\n transaction-id : 12\n");
  EXPECT_NE(xml.out.find("  code : 409\n"), std::string::npos) << xml.out;

  Outcome parts = decode({seed("assets.mime"), "--content-type", "multipart/mixed; boundary=\"foobar123-1234\""});
  EXPECT_EQ(parts.status, 0) << parts.err;
  EXPECT_EQ(parts.out,
            "[DataResponse] 2 block(s)\n"
            "block 1: content-id img-1, content-type image/gif, length 18\n"
            "block 2: content-id style-1, content-type text/css, length 20\n");
}

TEST(DcdDecode, ErrorsAndUsage) {
  TempDir dir;
  const std::string broken = dir.file("broken.xml");
  writeWholeFile(broken, "<dcd><status><result code=\"200\">");
  const std::string request = dir.file("request.xml");
  writeWholeFile(request, "<dcd><get-request/></dcd>");
  const std::string empty = dir.file("empty");
  writeWholeFile(empty, "");
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* err;
  };
  const Case cases[] = {
      {{broken}, 1, "not a readable DCD answer"},
      {{request}, 1, "holds a GetRequest primitive, not a server response"},
      {{empty}, 1, "is empty"},
      {{dir.file("missing.xml")}, 1, "cannot open"},
      {{seed("status-error.xml"), "--content-type", "multipart/mixed"}, 1, "not a usable multipart answer"},
      {{}, 2, "usage: nrctl dcd decode FILE [--content-type T]"},
      {{seed("status-error.xml"), "--content-type"}, 2, "--content-type needs a value"},
      {{seed("status-error.xml"), "--verbose"}, 2, "unknown option --verbose"},
      {{seed("status-error.xml"), seed("notify.xml")}, 2, "more than one FILE"},
  };
  for (const Case& c : cases) {
    Outcome o = decode(c.args);
    EXPECT_EQ(o.status, c.status) << o.err;
    EXPECT_NE(o.err.find(c.err), std::string::npos) << o.err;
    EXPECT_EQ(o.out, "") << o.err;
  }
  // The library's own log lines explain a failure, one per line.
  Outcome o = decode({broken});
  EXPECT_NE(o.err.find("Unable to read the XML data block"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("\nnrctl dcd decode: "), std::string::npos) << o.err;
}
