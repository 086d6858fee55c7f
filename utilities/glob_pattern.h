// Translation of one shell-style pattern element ("*", "?", "[...]") into an
// ECMAScript regular expression, and whole-name matching against it. Internal to
// the glob library; declared here so that it can be tested on its own.
#pragma once

#include <cstddef>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace tarn::glob::detail {

// Returns the expression text for one pattern element. Reports nothing itself: an
// expression the ECMAScript grammar rejects fails when it is compiled.
std::string translate(std::string_view pattern);

// Returns the index of the "]" that closes the bracket set whose "[" sits just
// before `after_open`, or std::string_view::npos when that "[" opens no set.
std::size_t bracket_set_end(std::string_view pattern, std::size_t after_open);

// Up to this length an element of literals, "*" and "?" compiles far below the
// regex library's state limit, so matching it directly cannot hide an error.
inline constexpr std::size_t kMaxDirectElement = 1024;

// Decides whether whole names fit one pattern element, exactly as std::regex_match
// with the compiled translate(element) would. Elements made only of literals, "*"
// and "?" are matched directly instead of through the (slow) regex engine.
class ElementMatcher {
  public:
    // Throws std::regex_error when the translated expression does not compile.
    explicit ElementMatcher(std::string_view element);

    bool matches(std::string_view name) const;

    // True when names are tested through std::regex (the element has a bracket set).
    bool uses_regex() const { return regex_.has_value(); }

  private:
    enum class Kind : unsigned char { literal, any_char, any_run };
    struct Token {
        Kind kind;
        char value;
    };

    bool matches_tokens(std::string_view name) const;

    std::vector<Token> tokens_;
    std::optional<std::regex> regex_;
};

}  // namespace tarn::glob::detail
