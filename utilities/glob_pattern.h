// Translation of one shell-style pattern element ("*", "?", "[...]") into an
// ECMAScript regular expression. Internal to the glob library; declared here so
// that it can be tested on its own.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "utilities/glob_expression.h"

namespace tarn::glob::detail {

// Returns the expression text for one pattern element. Reports nothing itself: an
// expression the ECMAScript grammar rejects fails when it is compiled.
std::string translate(std::string_view pattern);

// Returns the index of the "]" that closes the bracket set whose "[" sits just
// before `after_open`, or std::string_view::npos when that "[" opens no set.
std::size_t bracket_set_end(std::string_view pattern, std::size_t after_open);

// The part of the expression that the element's text becomes, with where its
// sets that begin with "]" (after "!") stand in it. The expression ends such a
// set at that "]" ("[]" is an empty set in ECMAScript) and reads the rest of
// its text as expression syntax; the element matcher holds the "]" as a member
// instead, as the set's text says.
struct ExpressionBody {
    std::string text;
    std::vector<SetSpan> bracket_led_sets;
};

// The body of translate(pattern).
ExpressionBody translate_body(std::string_view pattern);

}  // namespace tarn::glob::detail
