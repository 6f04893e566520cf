// Writing side of the DCD XML syntax: one writer per primitive type that
// can be sent, found by the primitive's type name. Writers produce plain
// text; attribute values and text have & < > " escaped, everything else is
// written as it is.
//
// A writer that fails (an invalid primitive, or a part that cannot be
// written) logs why and returns false; what it wrote to out by then is
// incomplete, so callers write into a scratch stream first.
//
// Threads: stateless; any thread.
#pragma once

#include <ostream>
#include <string>

#include "txn/Primitives.h"

namespace dcd {
namespace xml {

using Writer = bool (*)(const txn::Primitive& primitive, std::ostream& out);

// The writer for a primitive type name, or null when this syntax has none.
// Response types have one that refuses (logged).
[[nodiscard]] Writer writerForType(const std::string& type);

// text with & < > " replaced by their entities.
std::string escape(const std::string& text);

}  // namespace xml
}  // namespace dcd
