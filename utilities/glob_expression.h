// Reading the body of a translated pattern element (see glob_pattern.h) into
// the byte sets that the element matcher steps through. Internal to the glob
// library; declared here so that it can be tested on its own.
#pragma once

#include <bitset>
#include <cstddef>
#include <string_view>
#include <vector>

namespace tarn::glob::detail {

using ByteSet = std::bitset<256>;

// One step of a pattern element: a single byte from `bytes`, or, when
// `repeated`, any run of them (the translation's ".*").
struct ElementToken {
    ByteSet bytes;
    bool repeated;
};

// Reads an expression body made by translation (escaped characters, literal
// characters, ".", ".*" and bracket sets) the way std::regex reads it with the
// ECMAScript grammar in the global locale: the same members in every set
// (ranges ordered as char orders them: signed on x86-64, unsigned on arm64;
// classes, collating names, escapes), and a set whose closing "]" is escaped
// running on into the text after it. Throws std::regex_error where std::regex
// would reject the expression this body belongs to, its limit on the number
// of states included, but without its recursion, whose depth grows with the
// length of the expression. Translation puts nothing else outside a set, and
// a set that runs on still ends at the closing "]" of a later set of the
// element, so anything else is a fault here and throws std::logic_error.
std::vector<ElementToken> read_expression_body(std::string_view body);

}  // namespace tarn::glob::detail
