// The element matcher against std::regex on the translation: for an element
// and a name taken from the input, both must reject the element alike or give
// the same answer for the name and each of its prefixes. Any other exception
// (the matcher's std::logic_error for a construct it did not expect) ends the
// run as a finding.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <regex>
#include <string>
#include <string_view>

#include "utilities/glob_matcher.h"
#include "utilities/glob_pattern.h"

namespace {

using tarn::glob::detail::ElementMatcher;

// std::regex backtracks: its time grows with the name's length to the power of
// the number of "*", so both stay small enough for it to answer at once.
constexpr std::size_t kMaxElement = 48;
constexpr std::size_t kMaxName = 16;
constexpr std::size_t kMaxStars = 3;

[[noreturn]] void differ(const std::string& element, std::string_view name, const char* what) {
    std::fprintf(stderr, "glob matcher and std::regex differ (%s)\nelement: ", what);
    for (unsigned char c : element) {
        std::fprintf(stderr, "\\x%02x", c);
    }
    std::fprintf(stderr, "\nname: ");
    for (unsigned char c : name) {
        std::fprintf(stderr, "\\x%02x", c);
    }
    std::fprintf(stderr, "\n");
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t element_size = std::min<std::size_t>(data[0] % (kMaxElement + 1), size - 1);
    const std::string element(reinterpret_cast<const char*>(data + 1), element_size);
    const std::string name(reinterpret_cast<const char*>(data + 1 + element_size),
                           size - 1 - element_size);
    if (name.size() > kMaxName ||
        static_cast<std::size_t>(std::count(element.begin(), element.end(), '*')) > kMaxStars) {
        return 0;
    }
    std::optional<std::regex> expression;
    std::optional<ElementMatcher> matcher;
    try {
        expression.emplace(tarn::glob::detail::translate(element), std::regex::ECMAScript);
    } catch (const std::regex_error&) {
    }
    try {
        matcher.emplace(element);
    } catch (const std::regex_error&) {
    }
    if (expression.has_value() != matcher.has_value()) {
        differ(element, name, expression ? "only the matcher rejects" : "only std::regex rejects");
    }
    if (!matcher) {
        return 0;
    }
    for (std::size_t length = 0; length <= name.size(); ++length) {
        const std::string_view prefix(name.data(), length);
        if (matcher->matches(prefix) !=
            std::regex_match(prefix.begin(), prefix.end(), *expression)) {
            differ(element, prefix, "answers");
        }
    }
    return 0;
}
