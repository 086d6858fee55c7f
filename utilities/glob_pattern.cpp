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
    return set;
}

// A set whose text begins with "]" (after an optional "!").
bool leads_with_bracket(std::string_view pattern, std::size_t start) {
    return pattern[start] == ']' ||
           (pattern[start] == '!' && start + 1 < pattern.size() && pattern[start + 1] == ']');
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

ExpressionBody translate_body(std::string_view pattern) {
    ExpressionBody body;
    std::size_t i = 0;
    while (i < pattern.size()) {
        const char c = pattern[i++];
        if (c == '*') {
            body.text += ".*";
        } else if (c == '?') {
            body.text += '.';
        } else if (c == '[') {
            const std::size_t end = bracket_set_end(pattern, i);
            if (end == std::string_view::npos) {
                body.text += "\\[";
                continue;
            }
            const std::size_t open = body.text.size();
            body.text += "[" + translate_set(pattern, i, end) + "]";
            if (leads_with_bracket(pattern, i)) {
                body.bracket_led_sets.push_back({open, body.text.size() - 1});
            }
            i = end + 1;
        } else if (is_special(c)) {
            body.text += special_characters().at(static_cast<signed char>(c));
        } else {
            body.text += c;
        }
    }
    return body;
}

// The whole expression: the body's text, or else exactly one line break.
std::string translate(std::string_view pattern) {
    return "((" + translate_body(pattern).text + ")|[\\r\\n])$";
}

}  // namespace tarn::glob::detail
