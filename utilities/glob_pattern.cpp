// Pattern element translation to ECMAScript expressions, and the whole-name
// matching that glob expansion uses for every listed name.
#include "utilities/glob_pattern.h"

#include <map>

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

// The expression for the bracket set pattern[start, end), brackets included.
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
    return "[" + set + "]";
}

// libstdc++'s ctype<char>::narrow fills a per-character cache without a lock, and
// the regex compiler calls it for each pattern character. Filling the cache once,
// before any compilation here, keeps concurrent compilations from writing to it.
void fill_narrow_cache() {
    static const bool filled = [] {
        const auto& ctype = std::use_facet<std::ctype<char>>(std::locale());
        for (int c = 1; c < 256; ++c) {
            ctype.narrow(static_cast<char>(c), '\0');
        }
        return true;
    }();
    static_cast<void>(filled);
}

bool is_special(char c) { return kSpecialCharacters.find(c) != std::string_view::npos; }

bool is_line_break(char c) { return c == '\n' || c == '\r'; }

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

std::string translate(std::string_view pattern) {
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
            } else {
                body += translate_set(pattern, i, end);
                i = end + 1;
            }
        } else if (is_special(c)) {
            body += special_characters().at(static_cast<signed char>(c));
        } else {
            body += c;
        }
    }
    return "((" + body + ")|[\\r\\n])$";
}

// ---- Matching ----

ElementMatcher::ElementMatcher(std::string_view element) {
    bool direct = element.size() <= kMaxDirectElement;
    for (std::size_t i = 0; direct && i < element.size(); ++i) {
        const char c = element[i];
        if (c == '*') {
            tokens_.push_back({Kind::any_run, c});
        } else if (c == '?') {
            tokens_.push_back({Kind::any_char, c});
        } else if (c == '[' && bracket_set_end(element, i + 1) != std::string_view::npos) {
            direct = false;
        } else {
            tokens_.push_back({Kind::literal, c});
        }
    }
    if (!direct) {
        fill_narrow_cache();
        tokens_.clear();
        regex_.emplace(translate(element), std::regex::ECMAScript);
    }
}

bool ElementMatcher::matches(std::string_view name) const {
    if (regex_) {
        return std::regex_match(name.begin(), name.end(), *regex_);
    }
    // The expression's second alternative: one line break alone fits every element.
    if (name.size() == 1 && is_line_break(name[0])) {
        return true;
    }
    return matches_tokens(name);
}

// Wildcard matching that retries only the latest "*". As in ECMAScript, "*" and
// "?" never cover a line break. That keeps the retry sound: every line break in a
// name is matched by a literal one, so all matches of the pattern before the
// latest "*" cover the same line breaks, and the text between their ends has none
// for that "*" to absorb. A "*" that meets a line break thus ends the search.
bool ElementMatcher::matches_tokens(std::string_view name) const {
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::size_t token = 0;
    std::size_t at = 0;
    std::size_t star_token = kNone;
    std::size_t star_end = 0;
    while (at < name.size()) {
        if (token < tokens_.size()) {
            const Token& t = tokens_[token];
            if (t.kind == Kind::any_run) {
                star_token = token++;
                star_end = at;
                continue;
            }
            if (t.kind == Kind::any_char ? !is_line_break(name[at]) : t.value == name[at]) {
                ++token;
                ++at;
                continue;
            }
        }
        if (star_token == kNone || is_line_break(name[star_end])) {
            return false;
        }
        at = ++star_end;
        token = star_token + 1;
    }
    while (token < tokens_.size() && tokens_[token].kind == Kind::any_run) {
        ++token;
    }
    return token == tokens_.size();
}

}  // namespace tarn::glob::detail
