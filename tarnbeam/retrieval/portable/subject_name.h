// Certificate subjects written as text, as a build setting names the required signer: the form
// `openssl x509 -subject` prints ("subject=C = JP, O = Ondrel, CN = Ondrel Update") and the form
// `certutil` prints ("CN=Ondrel Update, O=Ondrel, C=JP"), which lists the same attributes in the
// opposite order. Portable: no platform header.
#pragma once

#include <string>
#include <vector>

namespace publisher {

struct NameAttribute {
    std::wstring type;  // "CN", "O", ... or a dotted object identifier
    std::wstring value; // unescaped, unquoted
};
using DistinguishedName = std::vector<NameAttribute>;

// Reads `text` ("subject=" in front allowed; attributes separated by ',' ';' or '+'; values plain
// with backslash escapes, or in double quotes with "" for a quote). False when it is empty or an
// attribute has no type or no '='.
bool parseSubject(const std::wstring &text, DistinguishedName &name);

// True when both list the same attributes, in the same or in the opposite order: types compared
// without regard to case and under the two tools' names for one attribute (ST and S, emailAddress
// and E, ...), values exactly.
bool sameSubject(const DistinguishedName &a, const DistinguishedName &b);

} // namespace publisher
