// Pattern element translation: the expression texts, what they match, and the
// element matcher agreeing with std::regex on them.
#include "utilities/glob_pattern.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <regex>
#include <string>
#include <type_traits>
#include <utility>

#include "tests/utilities/glob_thread_stack.h"
#include "utilities/glob_matcher.h"

namespace {

using skein_test::on_thread_with_stack;
using tarn::glob::detail::ElementMatcher;
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
        {"[]]", R"((([\]])|[\r\n])$)"},
        {"[!]a]", R"((([^\]a])|[\r\n])$)"},
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

// A range between bytes below and above 128 is ordered as char orders them,
// as the regular-expression engine does: signed on x86-64, unsigned on arm64.
constexpr const char* kWideRange = std::is_signed_v<char> ? "[\x80-\x7f]" : "[a-\xff]";
constexpr const char* kReversedWideRange = std::is_signed_v<char> ? "[a-\xff]" : "[\x80-\x7f]";

// A set that runs on (its closing "]" escaped) into one that begins with "]"
// ends where that one ends; the rest of that one's text was once read as
// expression syntax. B runs negated sets with escapes into each other.
constexpr const char* kRunOnA = "0[\x91\\\\]\xe0\xe0\xe0\x0e[]#+$$-]\xac$";
constexpr const char* kRunOnB =
    "%[!\\\\]\\\\W\\slash]\xfa\xfa\xfa\xfash\xbc[!]\\\\\\\\W\\slash]\xfa\xfa\xfa\xfash\xbc\xbc";
constexpr const char* kRunOnBName = "%b\xfa\xfa\xfa\xfash\xbc\xbc";

struct MatchCase {
    const char* element;
    const char* name;
    bool matches;
};

// The element matcher and std::regex on the translation both give the answer.
void expect_answer(const MatchCase& c) {
    EXPECT_EQ(ElementMatcher(c.element).matches(c.name), c.matches) << c.element << " / " << c.name;
    EXPECT_EQ(regex_matches(c.element, c.name), c.matches) << c.element << " / " << c.name;
}

TEST(GlobTranslate, WholeNameMatches) {
    const MatchCase cases[] = {
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
        {"[!a]", "\n", true},      {kWideRange, "b", true},
        {"[a\\\\][b]", "]", true}, {"[[:digit:]x][y]", "[", true},
    };
    for (const MatchCase& c : cases) {
        expect_answer(c);
    }
}

// The translation escapes the "]" ("[]" is an empty set in ECMAScript), so it
// is a member, as the set's text says, also where a set before it runs on.
TEST(GlobTranslate, SetsBeginningWithBracketHoldIt) {
    const MatchCase cases[] = {
        {"[]]", "]", true},          {"[]a]", "a", true},           {"[]a]", "]", true},
        {"[]a]", "b", false},        {"[!]a]", "b", true},          {"[!]a]", "]", false},
        {"[!]a]", "a", false},       {"[!]**]", "x", true},         {"[!]**]", "*", false},
        {"x[]-a]", "x^", true},      {"[]]*", "]]]", true},         {"[!]]", "a", true},
        {"[\\\\][]]", "[", true},    {"[\\\\][]]", "[]", false},    {"[]a\\\\][b]", "b", true},
        {"[a\\\\][]b+]", "+", true}, {"[!\\\\][!]\\d]", "x", true}, {"[!\\\\][!]\\d]", "d", false},
        {kRunOnA, "0#\xac$", true},  {kRunOnA, "0\xac$", false},    {kRunOnB, kRunOnBName, true},
    };
    for (const MatchCase& c : cases) {
        expect_answer(c);
    }
}

TEST(GlobTranslate, RejectedSetsThrowWhenCompiled) {
    for (const char* element : {"[z-a]", "[a\\\\]", "x[a--c]", "[]z-a]", "[]a\\\\]",
                                "[a\\\\][]z-a]", "[!\\\\][!]\\\\]", kReversedWideRange}) {
        EXPECT_THROW(ElementMatcher{element}, std::regex_error) << element;
        EXPECT_THROW(std::regex(translate(element), std::regex::ECMAScript), std::regex_error)
            << element;
    }
}

// Whether `compile` goes through; the state limit is the only refusal expected.
bool compiles(const std::function<void()>& compile) {
    try {
        compile();
        return true;
    } catch (const std::regex_error& error) {
        EXPECT_EQ(error.code(), std::regex_constants::error_space);
        return false;
    }
}

// ThreadSanitizer records no call stack of over 65,536 frames, and the regex
// compiler's recursion goes deeper at its state limit.
#if defined(__SANITIZE_THREAD__)
constexpr bool kDeepStacksRecorded = false;
#elif defined(__has_feature)
constexpr bool kDeepStacksRecorded = !__has_feature(thread_sanitizer);
#else
constexpr bool kDeepStacksRecorded = true;
#endif

// std::regex refuses an expression of over 100,000 states: one for each
// character, "?" or set, two for each "*", 15 around the element. Its compiler
// recurses once per state, which overflowed a 1 MiB stack from an element of
// about 10 KB (3 KB with AddressSanitizer); the matcher counts them instead.
TEST(GlobTranslate, StateLimitAgreesWithRegex) {
    struct Case {
        const char* head;
        const char* unit;
        std::size_t most_units;
    };
    const Case cases[] = {{"", "a", 99985}, {"", "*", 49992}, {"[!a]", "*?", 33328}};
    for (const Case& c : cases) {
        for (const std::size_t units : {c.most_units, c.most_units + 1}) {
            std::string element = c.head;
            for (std::size_t i = 0; i < units; ++i) {
                element += c.unit;
            }
            const bool fits = units == c.most_units;
            on_thread_with_stack(std::size_t{1} << 20, [&] {
                EXPECT_EQ(compiles([&] { static_cast<void>(ElementMatcher(element)); }), fits)
                    << c.unit << " x " << units;
            });
            if (!kDeepStacksRecorded) {
                continue;
            }
            // With room for the regex compiler's recursion.
            on_thread_with_stack(std::size_t{256} << 20, [&] {
                EXPECT_EQ(compiles([&] { std::regex(translate(element), std::regex::ECMAScript); }),
                          fits)
                    << c.unit << " x " << units;
            });
        }
    }
}

// Random elements and names, line breaks included; half the names are made
// to fit the element.
class RandomElements {
  public:
    RandomElements(unsigned seed, std::string name_chars)
        : name_chars_(std::move(name_chars)), random_(seed) {}

    char pick(const std::string& from) {
        return from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(random_)];
    }
    int length(int least, int most) {
        return std::uniform_int_distribution<int>(least, most)(random_);
    }
    std::string draw(const std::string& from, int least, int most) {
        std::string text;
        for (int i = length(least, most); i > 0; --i) {
            text += pick(from);
        }
        return text;
    }
    std::string name_for(const std::string& element, int round) {
        if (round % 2 == 0) {
            return draw(name_chars_, 0, static_cast<int>(element.size()) + 1);
        }
        std::string name;
        for (char c : element) {
            if (c == '*') {
                name += draw(name_chars_, 0, 3);
            } else {
                name += c == '?' ? pick(name_chars_) : c;
            }
        }
        return name;
    }

  private:
    std::string name_chars_;
    std::mt19937 random_;
};

// Counts the matches while checking every answer against std::regex.
int matches_agreeing_with_regex(const std::string& element, const std::string& name) {
    const bool expected = regex_matches(element, name);
    EXPECT_EQ(ElementMatcher(element).matches(name), expected)
        << '"' << element << "\" / \"" << name << '"';
    return expected ? 1 : 0;
}

// Random elements of literals, "*" and "?" (a "[" never closes: no "]" is drawn).
TEST(GlobTranslate, DirectMatcherAgreesWithRegex) {
    RandomElements random(20240611, "ab.\n\r\\[ \xc3");
    int agreed_matches = 0;
    for (int round = 0; round < 20000; ++round) {
        const std::string element = random.draw("ab.*?\n\r\\[ \xc3", 0, 7);
        agreed_matches += matches_agreeing_with_regex(element, random.name_for(element, round));
    }
    EXPECT_GT(agreed_matches, 4000);  // both outcomes well represented
}

// Elements of 100 to 300 steps with three "*" take several words of automaton
// state; names long enough to carry live steps across them (without line
// breaks, which "?" would not take).
TEST(GlobTranslate, LongElementsAgreeWithRegex) {
    RandomElements random(20261209, "ab.\\[ \xc3");
    int agreed_matches = 0;
    for (int round = 0; round < 300; ++round) {
        std::string element = random.draw("ab?", 100, 300);
        for (int star = 0; star < 3; ++star) {
            element.insert(
                static_cast<std::size_t>(random.length(0, static_cast<int>(element.size()))), 1,
                '*');
        }
        agreed_matches += matches_agreeing_with_regex(element, random.name_for(element, round));
    }
    EXPECT_GT(agreed_matches, 60);
}

}  // namespace
