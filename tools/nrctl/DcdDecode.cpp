#include "DcdDecode.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "platform/Log.h"
#include "syntax/MultipartSyntax.h"
#include "syntax/XmlSyntax.h"
#include "txn/Primitives.h"

namespace {

// Larger answers are not DCD answers anyone should be checking by hand.
constexpr long kMaxFileBytes = 64L * 1024 * 1024;

int usage(const char* problem) {
  std::fprintf(stderr,
               "nrctl dcd decode: %s\n"
               "usage: nrctl dcd decode FILE [--content-type T]\n"
               "  Reads FILE as a server answer: DCD XML, or a multipart body when T is a\n"
               "  multipart content type (e.g. 'multipart/mixed; boundary=\"b\"'), and prints\n"
               "  the response primitive or the blocks of the data response.\n"
               "  Exit status: 0 decoded, 1 decode error, 2 usage error.\n",
               problem);
  return 2;
}

int decodeError(const std::string& message) {
  std::fprintf(stderr, "nrctl dcd decode: %s\n", message.c_str());
  return 1;
}

bool readFile(const std::string& path, std::string& out, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path;
    return false;
  }
  in.seekg(0, std::ios::end);
  std::streamoff size = in.tellg();
  if (size < 0) {
    error = "cannot read " + path;
    return false;
  }
  if (size > kMaxFileBytes) {
    error = path + " is larger than " + std::to_string(kMaxFileBytes) + " bytes";
    return false;
  }
  in.seekg(0, std::ios::beg);
  out.resize(static_cast<std::size_t>(size));
  if (size > 0 && !in.read(&out[0], size)) {
    error = "cannot read " + path;
    return false;
  }
  return true;
}

bool isResponseType(const std::string& type) {
  return type == "Status" || type == "GetResponse" || type == "ContentUpdateResponse" || type == "DataResponse" ||
         type == "ServiceRegistrationResponse";
}

// Sends the library's log lines to stderr while it lives, one line each (the
// log facility adds no line ends), so that stdout holds only the decoded
// answer.
class LogToStderr {
 public:
  LogToStderr() : mSaved(librunlog_to_module_ptr) {
    cookie_io_functions_t io = {};
    io.write = &LogToStderr::writeLine;
    mStream = fopencookie(nullptr, "w", io);
    if (mStream != nullptr) setvbuf(mStream, nullptr, _IOFBF, 64 * 1024);
    librunlog_to_module_ptr = mStream != nullptr ? mStream : stderr;
  }
  ~LogToStderr() {
    librunlog_to_module_ptr = mSaved;
    if (mStream != nullptr) std::fclose(mStream);
  }
  LogToStderr(const LogToStderr&) = delete;
  LogToStderr& operator=(const LogToStderr&) = delete;

 private:
  // Each log message is written and flushed on its own: one call per line.
  static ssize_t writeLine(void*, const char* data, size_t size) {
    std::fwrite(data, 1, size, stderr);
    if (size > 0 && data[size - 1] != '\n') std::fputc('\n', stderr);
    return static_cast<ssize_t>(size);
  }

  FILE* mSaved;
  FILE* mStream = nullptr;
};

int printDataResponse(const txn::DataResponse& response) {
  std::printf("[DataResponse] %zu block(s)\n", response.getBlocks().size());
  int index = 0;
  for (const auto& block : response.getBlocks()) {
    std::printf("block %d: content-id %s, content-type %s, length %u\n", ++index, block->getContentId().c_str(),
                block->getContentType().c_str(), block->getLength());
  }
  return 0;
}

}  // namespace

int nrctlDcdDecode(int argc, char** argv) {
  std::string file;
  std::string contentType;
  bool haveContentType = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--content-type") == 0) {
      if (i + 1 >= argc) return usage("--content-type needs a value");
      contentType = argv[++i];
      haveContentType = true;
    } else if (std::strncmp(arg, "--content-type=", 15) == 0) {
      contentType = arg + 15;
      haveContentType = true;
    } else if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
      return usage("help requested");
    } else if (arg[0] == '-' && arg[1] != '\0') {
      return usage((std::string("unknown option ") + arg).c_str());
    } else if (file.empty()) {
      file = arg;
    } else {
      return usage("more than one FILE given");
    }
  }
  if (file.empty()) return usage("no FILE given");
  if (haveContentType && contentType.empty()) return usage("--content-type needs a value");

  std::string body;
  std::string error;
  if (!readFile(file, body, error)) return decodeError(error);
  if (body.empty()) return decodeError(file + " is empty: the transaction reports a missing response body");

  LogToStderr logs;
  const bool multipartBody = haveContentType && strncasecmp(contentType.c_str(), "multipart/", 10) == 0;
  std::unique_ptr<txn::Primitive> primitive;
  if (multipartBody) {
    dcd::MultipartSyntax syntax;
    primitive = syntax.marshall({{"Content-Type", contentType}}, body.data(), static_cast<long>(body.size()), "UTF-8");
    if (!primitive) return decodeError("the body is not a usable multipart answer (see the log lines above)");
    return printDataResponse(static_cast<const txn::DataResponse&>(*primitive));
  }

  dcd::XmlSyntax syntax;
  primitive = syntax.marshall({}, body.data(), static_cast<long>(body.size()), "UTF-8");
  if (!primitive) return decodeError("the body is not a readable DCD answer (see the log lines above)");
  const std::string type = primitive->getType();
  if (!isResponseType(type)) return decodeError("the document holds a " + type + " primitive, not a server response");
  const std::string text = primitive->toString();
  if (text.empty()) return decodeError("the " + type + " primitive is not valid (see the log lines above)");
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
  return 0;
}
