// What a document from outside must not carry before it reaches the platform's XML parser: a
// document type declaration (its external subset, external entities and parameter entities are
// what a parser would fetch or expand), any other markup declaration, or elements nested deeper
// than a limit. The check reads the bytes as the parser would, in UTF-8 or any encoding that
// keeps ASCII's bytes (the byte order mark or the first '<' tell), or in UTF-16 of either byte
// order; comments, CDATA sections, processing instructions and quoted attribute values are
// skipped as the parser skips them, so "<!DOCTYPE" inside a CDATA section is text.
// Portable: no platform header.
#pragma once

#include <cstddef>

namespace xmlguard {

// Deeper nesting than any document the client reads by far, and shallow enough for every parser.
constexpr unsigned kMaxElementDepth = 256;

enum class Verdict {
    kAccepted,
    kDeclaration, // a DOCTYPE or another "<!" markup declaration
    kTooDeep,     // elements nested deeper than the limit
    kMalformed,   // an unknown encoding, no '<' first, or markup left open at the end
};

Verdict checkDocument(const unsigned char *data, std::size_t size, unsigned maxDepth = kMaxElementDepth);

} // namespace xmlguard
