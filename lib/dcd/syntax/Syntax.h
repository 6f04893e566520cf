// The syntax interface: converts request primitives into request bodies
// ("unmarshall") and server answers into response primitives ("marshall").
// A transaction picks one syntax per exchange by the request's type name.
//
// Threads: a syntax object is used by one thread at a time (one per
// transaction); the implementations keep no shared state.
#pragma once

#include <map>
#include <memory>
#include <ostream>
#include <string>

#include "txn/Primitives.h"

namespace dcd {

// Response header map (name to value, ordered by name).
using SyntaxHeaders = std::map<std::string, std::string>;

class Syntax {
 public:
  Syntax() = default;
  Syntax(const Syntax&) = delete;
  Syntax& operator=(const Syntax&) = delete;
  virtual ~Syntax() = default;

  // Reads length bytes at data (a server answer with its response headers)
  // into a new primitive, or null after a log line. data is untrusted.
  [[nodiscard]] virtual std::unique_ptr<txn::Primitive> marshall(const SyntaxHeaders& headers, const char* data, long length,
                                                   const std::string& charset) = 0;
  // Writes primitive as a request body to out. False (after a log line) when
  // this syntax cannot write it; out is then left untouched.
  [[nodiscard]] virtual bool unmarshall(const txn::Primitive& primitive, std::ostream& out) = 0;
};

}  // namespace dcd
