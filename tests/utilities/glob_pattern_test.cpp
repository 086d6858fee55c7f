// Pattern element translation: the expression texts, what they match, and the
// element matcher agreeing with std::regex on them.
#include "utilities/glob_pattern.h"

#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>

#include "utilities/glob_matcher.h"

namespace {

using tarn::glob::detail::ElementMatcher;
using tarn::glob::detail::kMaxDirectElement;
using tarn::glob::detail::translate;

bool regex_matches(const std::string& element, const std::string& name) {
    return std::regex_match(name, std::regex(translate(element), std::regex::ECMAScript));
}

TEST(GlobTranslate, ExpressionTexts) {
    const std::pair<std::string, std::string> cases[] = {
        {"*", R"(((.*)|[\r\n])$)"},
        {"*.txt", R"(((.*\.txt)|[\r\n])$)"},
        {"data?", R"(((data.)|[\r\n])$)"},
        {"[!a-c]x", R"((([^a-c]x)|[\r\n])$)"},
        {"file[", R"(((file\[)|[\r\n])$)"},
        {"a+b", R"(((a\+b)|[\r\n])$)"},
        {"[^a]", R"((([\\^a])|[\r\n])$)"},
        {"", R"((()|[\r\n])$)"},
        {"[[]", R"((([\\[])|[\r\n])$)"},
        {"[]]", R"((([]])|[\r\n])$)"},
        {"[!]", R"(((\[!\])|[\r\n])$)"},
        {"a[b*", R"(((a\[b.*)|[\r\n])$)"},
        {"[\\]", R"((([\\])|[\r\n])$)"},
        {"[a\\b\\]", R"((([a\\b\])|[\r\n])$)"},
        {"[a-b--c]", R"((([a-b\--c])|[\r\n])$)"},
        {"[!--x]", R"((([^\--x])|[\r\n])$)"},
        {"[&~|]", R"((([\&\~\|])|[\r\n])$)"},
        {"(a){b}|^$&~#", R"(((\(a\)\{b\}\|\^\$\&\~\#)|[\r\n])$)"},
        {"a b\t\n\r\v\f", "((a\\ b\\\t\\\n\\\r\\\v\\\f)|[\\r\\n])$"},
        {"!x,/\xc3\xa9", "((!x,/\xc3\xa9)|[\\r\\n])$"},
    };
    for (const auto& [element, expression] : cases) {
        EXPECT_EQ(translate(element), expression) << element;
    }
}

TEST(GlobTranslate, WholeNameMatches) {
    struct Case {
        const char* element;
        const char* name;
        bool matches;
    };
    const Case cases[] = {
        {"*", ".hidden", true},    {"*", "line\nfeed", false},
        {"*", "", true},           {"", "", true},
        {"", "a", false},          {"", "\r", true},
        {"x", "\n", true},         {"?", "\r", true},
        {"?", "ab", false},        {"??", "ab", true},
        {"*.TXT", "a.txt", false}, {"a[b", "a[b", true},
        {"a[b", "ab", false},      {"[!ab]", "c", true},
        {"[!ab]", "b", false},     {"[^a]", "a", true},
        {"[^a]", "^", true},       {"[^a]", "\\", true},
        {"[^a]", "b", false},      {"a.b", "axb", false},
        {"a.b", "a.b", true},      {"[&]", "&", true},
        {"[a|b]", "|", true},      {"[~]", "~", true},
        {"[a|b]", "x", false},     {"* *", "a b", true},
        {"a*b", "a\rb", false},    {"*\n*", "a\nb", true},
        {"[a-c]?", "b\xff", true}, {"x*", "x\ny", false},
        {"[!a]", "\n", true},      {"[\x80-\x7f]", "b", true},
        {"[a\\\\][b]", "]", true}, {"[[:digit:]x][y]", "[", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ElementMatcher(c.element).matches(c.name), c.matches)
            << c.element << " / " << c.name;
        EXPECT_EQ(regex_matches(c.element, c.name), c.matches) << c.element << " / " << c.name;
    }
}

// The translation ends such a set at once ("[]" is empty in ECMAScript); the
// matcher keeps the "]" as a member, as the set's text says.
TEST(GlobTranslate, SetsBeginningWithBracketHoldIt) {
    EXPECT_FALSE(regex_matches("[]]", "]"));
    struct Case {
        const char* element;
        const char* name;
        bool matches;
    };
    const Case cases[] = {
        {"[]]", "]", true},     {"[]a]", "a", true},   {"[]a]", "]", true},
        {"[]a]", "b", false},   {"[!]a]", "b", true},  {"[!]a]", "]", false},
        {"[!]a]", "a", false},  {"[!]**]", "x", true}, {"[!]**]", "*", false},
        {"x[]-a]", "x^", true}, {"[]]*", "]]]", true}, {"[!]]", "a", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ElementMatcher(c.element).matches(c.name), c.matches)
            << c.element << " / " << c.name;
    }
}

TEST(GlobTranslate, RejectedSetsThrowWhenCompiled) {
    for (const char* element :
         {"[z-a]", "[a\\\\]", "x[a--c]", "[]z-a]", "[]a\\\\]", "[]a\\\\][b]", "[a-\xff]"}) {
        EXPECT_THROW(ElementMatcher{element}, std::regex_error) << element;
    }
}

TEST(GlobTranslate, OnlyOverlongElementsAreCheckedByTheRegexEngine) {
    for (const char* element :
         {"", "*.txt", "a?b", "a[b", "[!", "(x)+|\\", "[ab]", "x[!a]*", "[]]"}) {
        EXPECT_FALSE(ElementMatcher(element).checked_by_regex()) << element;
    }
    EXPECT_TRUE(ElementMatcher(std::string(kMaxDirectElement + 1, 'a')).checked_by_regex());
}

// Skipping compilation is only sound while std::regex would compile the element.
TEST(GlobTranslate, LongestDirectElementsCompile) {
    for (const char* unit : {"*", "?", "a", "(", "*?", "[a]"}) {
        std::string element;
        while (element.size() + std::char_traits<char>::length(unit) <= kMaxDirectElement) {
            element += unit;
        }
        EXPECT_FALSE(ElementMatcher(element).checked_by_regex()) << unit;
        EXPECT_NO_THROW(std::regex(translate(element), std::regex::ECMAScript)) << unit;
    }
}

// Random elements of literals, "*" and "?" (a "[" never closes: no "]" is drawn),
// and names both random and made to fit, line breaks included.
TEST(GlobTranslate, DirectMatcherAgreesWithRegex) {
    std::mt19937 random(20240611);
    const std::string pattern_chars = "ab.*?\n\r\\[ \xc3";
    const std::string name_chars = "ab.\n\r\\[ \xc3";
    auto pick = [&](const std::string& from) {
        return from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(random)];
    };
    auto length = [&](int most) { return std::uniform_int_distribution<int>(0, most)(random); };
    int agreed_matches = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string element;
        for (int i = length(7); i > 0; --i) {
            element += pick(pattern_chars);
        }
        std::string name;
        if (round % 2 == 0) {
            for (int i = length(8); i > 0; --i) {
                name += pick(name_chars);
            }
        } else {
            for (char c : element) {
                if (c == '*') {
                    for (int i = length(3); i > 0; --i) {
                        name += pick(name_chars);
                    }
                } else {
                    name += c == '?' ? pick(name_chars) : c;
                }
            }
        }
        const ElementMatcher matcher(element);
        const bool expected = regex_matches(element, name);
        ASSERT_EQ(matcher.matches(name), expected) << '"' << element << "\" / \"" << name << '"';
        agreed_matches += expected ? 1 : 0;
    }
    EXPECT_GT(agreed_matches, 4000);  // both outcomes well represented
}

}  // namespace
