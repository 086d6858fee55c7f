// Translation of one shell-style pattern element ("*", "?", "[...]") into an
// ECMAScript regular expression. Internal to the glob library; declared here so
// that it can be tested on its own.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarn::glob::detail {

// Returns the expression text for one pattern element. Reports nothing itself: an
// expression the ECMAScript grammar rejects fails when it is compiled.
std::string translate(std::string_view pattern);

// Returns the index of the "]" that closes the bracket set whose "[" sits just
// before `after_open`, or std::string_view::npos when that "[" opens no set.
std::size_t bracket_set_end(std::string_view pattern, std::size_t after_open);

// The body of translate(pattern): what the element's text becomes, without the
// alternative for a lone line break around it.
std::string translate_body(std::string_view pattern);

}  // namespace tarn::glob::detail
