// Pattern element translation to ECMAScript expressions.
#include "utilities/glob_pattern.h"

#include <map>
#include <regex>

namespace tarn::glob::detail {
namespace {

// Outside a bracket set each of these is written with a backslash in front.
constexpr std::string_view kSpecialCharacters{"()[]{}?*+-|^$\\.&~# \t\n\r\v\f", 24};

// The escaped form of each special character, keyed by its code as a signed char.
const std::map<int, std::string>& special_characters() {
    static const std::map<int, std::string> special_characters_map = [] {
        std::map<int, std::string> table;
        for (char c : kSpecialCharacters) {
            table.emplace(static_cast<int>(static_cast<signed char>(c)), std::string{'\\', c});
        }
        return table;
    }();
    return special_characters_map;
}

// "&", "~" and "|" inside a set: backslashed, so that they stay ordinary members
// (ECMAScript takes "\&", "\~" and "\|" in a class as the characters themselves).
const std::regex& set_operators() {
    static const std::regex ESCAPE_SET_OPER("[&~|]", std::regex::ECMAScript);
    return ESCAPE_SET_OPER;
}
constexpr char ESCAPE_REPL_STR[] = "\\$&";

// A "]" that begins a set's text (after "!") is a member of the set, but in
// ECMAScript "[]" is an empty set and "[^]" any character: unescaped, it would
// end the set there and leave the rest of its text to be read as expression
// syntax, both in this set and in one that runs on into it.
void escape_leading_bracket(std::string& set) {
    const std::size_t at = !set.empty() && set[0] == '^' ? 1 : 0;
    if (at < set.size() && set[at] == ']') {
        set.insert(at, 1, '\\');
    }
}

void replace_first(std::string& text, char what, std::string_view with) {
    const std::size_t at = text.find(what);
    if (at != std::string::npos) {
        text.replace(at, 1, with);
    }
}

// Set text holding "--": rebuilt from its hyphen-separated pieces, each with its
// first backslash doubled and its first hyphen escaped.
std::string rewrite_ranges(std::string_view pattern, std::size_t start, std::size_t end) {
    std::string rebuilt;
    std::size_t piece = start;
    std::size_t from = pattern[start] == '!' ? start + 2 : start + 1;
    auto append_piece = [&](std::size_t piece_end) {
        std::string text(pattern.substr(piece, piece_end - piece));
        replace_first(text, '\\', "\\\\");
        replace_first(text, '-', "\\-");
        if (piece != start) {
            rebuilt += '-';
        }
        rebuilt += text;
    };
    while (from < end) {
        const std::size_t hyphen = pattern.substr(0, end).find('-', from);
        if (hyphen == std::string_view::npos) {
            break;
        }
        append_piece(hyphen);
        piece = hyphen + 1;
        from = hyphen + 3;
    }
    append_piece(end);
    return rebuilt;
}

// The rewritten text of the bracket set pattern[start, end), brackets excluded.
std::string translate_set(std::string_view pattern, std::size_t start, std::size_t end) {
    std::string set;
    if (pattern.substr(start, end - start).find("--") == std::string_view::npos) {
        set = pattern.substr(start, end - start);
        replace_first(set, '\\', "\\\\");
    } else {
        set = rewrite_ranges(pattern, start, end);
    }
    set = std::regex_replace(set, set_operators(), ESCAPE_REPL_STR);
    if (!set.empty() && set[0] == '!') {
        set[0] = '^';
    } else if (!set.empty() && (set[0] == '^' || set[0] == '[')) {
        set.insert(0, "\\\\");
    }
    escape_leading_bracket(set);
    return set;
}

bool is_special(char c) { return kSpecialCharacters.find(c) != std::string_view::npos; }

}  // namespace

std::size_t bracket_set_end(std::string_view pattern, std::size_t after_open) {
    std::size_t j = after_open;
    if (j < pattern.size() && pattern[j] == '!') {
        ++j;
    }
    if (j < pattern.size() && pattern[j] == ']') {
        ++j;
    }
    while (j < pattern.size() && pattern[j] != ']') {
        ++j;
    }
    return j < pattern.size() ? j : std::string_view::npos;
}

std::string translate_body(std::string_view pattern) {
    std::string body;
    std::size_t i = 0;
    while (i < pattern.size()) {
        const char c = pattern[i++];
        if (c == '*') {
            body += ".*";
        } else if (c == '?') {
            body += '.';
        } else if (c == '[') {
            const std::size_t end = bracket_set_end(pattern, i);
            if (end == std::string_view::npos) {
                body += "\\[";
                continue;
            }
            body += "[" + translate_set(pattern, i, end) + "]";
            i = end + 1;
        } else if (is_special(c)) {
            body += special_characters().at(static_cast<signed char>(c));
        } else {
            body += c;
        }
    }
    return body;
}

// The whole expression: the body's text, or else exactly one line break.
std::string translate(std::string_view pattern) {
    return "((" + translate_body(pattern) + ")|[\\r\\n])$";
}

}  // namespace tarn::glob::detail
