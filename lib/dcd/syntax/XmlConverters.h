// Reading side of the DCD XML syntax: how each DCD element becomes a
// primitive. Every element has one rule in a table (XmlConverters.cpp): the
// primitive it makes, how its attributes are read, and what each child
// element it knows becomes; children without a rule, with their subtrees,
// are skipped.
//
// Threads: the table is immutable; any thread, one Reader per thread.
#pragma once

#include <memory>

#include "syntax/XmlReader.h"
#include "txn/Primitives.h"

namespace dcd {
namespace xml {

// Reads the element the reader stands on, up to its end, into a new
// primitive. Null when the element is not one a document may hold as its
// primitive (not logged), or when reading fails (logged); a partly read
// primitive is never returned.
[[nodiscard]] std::unique_ptr<txn::Primitive> readPrimitive(Reader& reader);

}  // namespace xml
}  // namespace dcd
