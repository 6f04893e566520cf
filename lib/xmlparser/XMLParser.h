// Reads an XML document into an element tree (Element.h), checking every
// declared attribute, value and child count.
//
// The reader is libxml2's text reader over the bytes in memory, forced to
// UTF-8. It loads no DTD, substitutes no entity and touches no network; a
// document that declares entities ("<!ENTITY") is refused before it is read,
// so no entity can be expanded, in text or in attribute values. The reader
// streams: memory grows with the element tree built, not with the reader.
//
// Bounds (both count every element met, declared or not): a document may
// nest elements at most kDefaultMaxDepth deep below the root and hold at most
// kDefaultMaxElements elements; past either bound the parse fails at once.
// A child declaration whose maximum is exceeded also fails at once, so the
// work on a hostile document stays proportional to what is accepted.
// Unknown elements are logged, the first kMaxUnknownLogged of a document one
// by one and the rest in one closing line.
//
// Threads: an XMLParser belongs to one thread at a time; parses on
// different threads do not share state here (the sync package's server time,
// SyncPkg.h, is process-wide).
#pragma once

#include <string>

#include "Element.h"

class XMLParser {
 public:
  static constexpr int kDefaultMaxDepth = 32;
  static constexpr long kDefaultMaxElements = 1000000;
  static constexpr int kMaxUnknownLogged = 16;

  XMLParser() = default;
  XMLParser(int maxDepth, long maxElements) : mMaxDepth(maxDepth), mMaxElements(maxElements) {}

  // Builds root's tree from the first element named like root. False when the
  // document is empty, is not well-formed before root ends, breaks a
  // declaration or a bound; error then collects the reasons, one a line,
  // outermost element last. root may hold a partial tree after a failure;
  // its owner frees it and uses none of it.
  bool parse(const std::string& bytes, Element& root, std::string& error) const;

 private:
  int mMaxDepth = kDefaultMaxDepth;
  long mMaxElements = kDefaultMaxElements;
};
