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
// bracket sets stand in it.
struct ExpressionBody {
    std::string text;
    std::vector<SetSpan> sets;
    bool bracket_led_set = false;  // a set whose text begins with "]" (after "!")
};

// The body of translate(pattern). In the translation a set whose text begins
// with "]" ends at that "]" ("[]" is an empty set in ECMAScript), so the rest
// of its text would be read as expression syntax; with `bracket_members` that
// "]" is escaped instead and is a member of the set, as the set's text says.
ExpressionBody translate_body(std::string_view pattern, bool bracket_members);

}  // namespace tarn::glob::detail
