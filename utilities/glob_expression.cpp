// The translated body read as std::regex reads ECMAScript: its scanner rules in
// and out of brackets, and its bracket-expression rules for members, ranges and
// classes, down to the errors it raises. Character classes, collating names and
// equivalence classes are looked up through the same std::regex_traits.
#include "utilities/glob_expression.h"

#include <algorithm>
#include <locale>
#include <regex>
#include <stdexcept>
#include <string>
#include <utility>

namespace tarn::glob::detail {
namespace {

using Traits = std::regex_traits<char>;
namespace rc = std::regex_constants;

// libstdc++'s ctype<char>::narrow fills a per-character cache without a lock,
// and class-name look-ups call it. Filling it once, before any look-up here or
// any compilation by std::regex, keeps concurrent callers from writing to it.
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

// std::regex builds one state for each character, "." or set of an expression,
// one more for each "*", and refuses an expression of more states than this
// with error_space.
#ifdef _GLIBCXX_REGEX_STATE_LIMIT
constexpr std::size_t kStateLimit = _GLIBCXX_REGEX_STATE_LIMIT;
#else
constexpr std::size_t kStateLimit = 100000;
#endif
// The states of the expression's frame, "((" body ")|[\r\n])$": three groups
// opened and closed, an end to each of its four sequences, the choice between
// the two alternatives and their join, the set, "$" and the final state.
constexpr std::size_t kFrameStates = 15;

// The scanner's tokens that can occur in a translated body.
enum class Kind {
    ord_char,      // value[0]
    hex_num,       // value: the hex digits
    quoted_class,  // \d \D \s \S \w \W
    collsymbol,    // [.name.]
    equiv_class,   // [=name=]
    char_class,    // [:name:]
    bracket_dash,  // "-" in a bracket
    bracket_end,   // "]" in a bracket
    unsupported,   // back-references and word boundaries
};

struct Token {
    Kind kind = Kind::ord_char;
    std::string value;
};

ByteSet single(char c) {
    ByteSet set;
    set.set(static_cast<unsigned char>(c));
    return set;
}

// ECMAScript's "." excludes the two line terminators a char can hold.
ByteSet any_but_line_breaks() {
    ByteSet set;
    set.set();
    set.reset('\n');
    set.reset('\r');
    return set;
}

// What a bracket's previous term left: a character that may still start a
// range, a class (which may not), or nothing.
struct LastTerm {
    enum { none, character, klass } kind = none;
    char value = '\0';
};

// A bracket expression's members as std::regex's bracket matcher keeps them.
struct Bracket {
    bool negated = false;
    std::string chars;
    std::vector<std::pair<char, char>> ranges;
    Traits::char_class_type classes{};
    std::vector<Traits::char_class_type> negated_classes;
    std::vector<std::string> equivalences;
};

class BodyReader {
  public:
    explicit BodyReader(std::string_view body)
        : body_(body), ctype_(std::use_facet<std::ctype<char>>(traits_.getloc())) {}

    std::vector<ElementToken> read();

  private:
    [[noreturn]] static void reject(rc::error_type code) { throw std::regex_error(code); }

    bool at_end() const { return at_ >= body_.size(); }
    char take() { return body_[at_++]; }

    Token escape(bool in_bracket);
    Token bracket_token();
    std::string class_name(char delimiter);

    void advance() { current_ = bracket_token(); }
    bool match(Kind kind);
    bool char_of(const Token& token, char& c) const;
    bool try_char(char& c);

    ByteSet bracket();
    LastTerm first_bracket_term();
    bool bracket_term(Bracket& bracket, LastTerm& last);
    ByteSet members(const Bracket& bracket) const;
    void push(std::vector<ElementToken>& tokens, ElementToken token);

    std::string_view body_;
    std::size_t at_ = 0;
    std::size_t states_ = kFrameStates;
    Traits traits_;
    const std::ctype<char>& ctype_;
    Token current_;
};

// After a backslash, as the scanner's ECMAScript escape rule reads it.
Token BodyReader::escape(bool in_bracket) {
    static constexpr std::pair<char, char> kControls[] = {
        {'0', '\0'}, {'b', '\b'}, {'f', '\f'}, {'n', '\n'}, {'r', '\r'}, {'t', '\t'}, {'v', '\v'}};
    if (at_end()) {
        reject(rc::error_escape);
    }
    const char c = take();
    for (const auto& [name, value] : kControls) {
        if (c == name && (c != 'b' || in_bracket)) {
            return {Kind::ord_char, std::string(1, value)};
        }
    }
    if (std::string_view("dDsSwW").find(c) != std::string_view::npos) {
        return {Kind::quoted_class, std::string(1, c)};
    }
    if (c == 'c') {
        if (at_end()) {
            reject(rc::error_escape);
        }
        return {Kind::ord_char, std::string(1, take())};
    }
    if (c == 'x' || c == 'u') {
        Token token{Kind::hex_num, {}};
        for (int i = c == 'x' ? 2 : 4; i > 0; --i) {
            if (at_end() || !ctype_.is(std::ctype_base::xdigit, body_[at_])) {
                reject(rc::error_escape);
            }
            token.value += take();
        }
        return token;
    }
    if (c == 'b' || c == 'B' || ctype_.is(std::ctype_base::digit, c)) {
        return {Kind::unsupported, {}};
    }
    return {Kind::ord_char, std::string(1, c)};
}

// The name inside "[:name:]", "[.name.]" or "[=name=]"; the opening two
// characters are already read.
std::string BodyReader::class_name(char delimiter) {
    std::string name;
    while (!at_end() && body_[at_] != delimiter) {
        name += take();
    }
    if (at_end() || take() != delimiter || at_end() || take() != ']') {
        reject(delimiter == ':' ? rc::error_ctype : rc::error_collate);
    }
    return name;
}

Token BodyReader::bracket_token() {
    if (at_end()) {
        reject(rc::error_brack);
    }
    const char c = take();
    if (c == '-') {
        return {Kind::bracket_dash, {}};
    }
    if (c == ']') {
        return {Kind::bracket_end, {}};
    }
    if (c == '\\') {
        return escape(true);
    }
    if (c == '[') {
        if (at_end()) {
            reject(rc::error_brack);
        }
        const char delimiter = body_[at_];
        const Kind kinds[] = {Kind::collsymbol, Kind::char_class, Kind::equiv_class};
        const std::size_t which = std::string_view(".:=").find(delimiter);
        if (which != std::string_view::npos) {
            ++at_;
            return {kinds[which], class_name(delimiter)};
        }
    }
    return {Kind::ord_char, std::string(1, c)};
}

bool BodyReader::match(Kind kind) {
    if (current_.kind != kind) {
        return false;
    }
    if (kind != Kind::bracket_end) {
        advance();
    }
    return true;
}

// A single character: an ordinary one or a "\xNN" / "\uNNNN" code, cut to a char.
bool BodyReader::char_of(const Token& token, char& c) const {
    if (token.kind == Kind::hex_num) {
        long value = 0;
        for (char digit : token.value) {
            value = value * 16 + traits_.value(digit, 16);
        }
        c = static_cast<char>(value);
        return true;
    }
    if (token.kind == Kind::ord_char) {
        c = token.value[0];
        return true;
    }
    return false;
}

bool BodyReader::try_char(char& c) {
    if (!char_of(current_, c)) {
        return false;
    }
    advance();
    return true;
}

// One term of a bracket expression; false at its closing "]". A character
// is held in `last` until the next term shows whether it starts a range.
bool BodyReader::bracket_term(Bracket& bracket, LastTerm& last) {
    const auto push_char = [&](char c) {
        if (last.kind == LastTerm::character) {
            bracket.chars += last.value;
        }
        last = {LastTerm::character, c};
    };
    const auto push_class = [&] {
        if (last.kind == LastTerm::character) {
            bracket.chars += last.value;
        }
        last = {LastTerm::klass, '\0'};
    };
    const auto make_range = [&](char low, char high) {
        if (low > high) {
            reject(rc::error_range);
        }
        bracket.ranges.emplace_back(low, high);
        last = {};
    };
    const auto class_of = [&](const std::string& name) {
        const Traits::char_class_type mask =
            traits_.lookup_classname(name.begin(), name.end(), false);
        if (mask == Traits::char_class_type{}) {
            reject(rc::error_collate);
        }
        return mask;
    };
    const auto collating = [&](const std::string& name) {
        const std::string symbol = traits_.lookup_collatename(name.begin(), name.end());
        if (symbol.empty()) {
            reject(rc::error_collate);
        }
        return symbol;
    };

    char c = '\0';
    const std::string value = current_.value;
    if (match(Kind::bracket_end)) {
        return false;
    }
    if (match(Kind::collsymbol)) {
        const std::string symbol = collating(value);
        bracket.chars += symbol[0];
        if (symbol.size() == 1) {
            push_char(symbol[0]);
        } else {
            push_class();
        }
    } else if (match(Kind::equiv_class)) {
        push_class();
        const std::string symbol = collating(value);
        bracket.equivalences.push_back(
            traits_.transform_primary(symbol.data(), symbol.data() + symbol.size()));
    } else if (match(Kind::char_class)) {
        push_class();
        bracket.classes |= class_of(value);
    } else if (try_char(c)) {
        push_char(c);
    } else if (match(Kind::bracket_dash)) {
        // ECMAScript: "-" before "]" or with nothing to range from is a member.
        if (match(Kind::bracket_end)) {
            push_char('-');
            return false;
        }
        if (last.kind == LastTerm::klass) {
            reject(rc::error_range);
        }
        if (last.kind == LastTerm::character) {
            if (try_char(c)) {
                make_range(last.value, c);
            } else if (match(Kind::bracket_dash)) {
                make_range(last.value, '-');
            } else {
                reject(rc::error_range);
            }
        } else {
            push_char('-');
        }
    } else if (match(Kind::quoted_class)) {
        push_class();
        if (ctype_.is(std::ctype_base::upper, value[0])) {
            bracket.negated_classes.push_back(class_of(value));
        } else {
            bracket.classes |= class_of(value);
        }
    } else {
        reject(rc::error_brack);
    }
    return true;
}

ByteSet BodyReader::members(const Bracket& bracket) const {
    ByteSet set;
    for (int byte = 0; byte < 256; ++byte) {
        const char c = static_cast<char>(byte);
        bool member =
            bracket.chars.find(c) != std::string::npos || traits_.isctype(c, bracket.classes);
        for (const auto& [low, high] : bracket.ranges) {
            member = member || (low <= c && c <= high);
        }
        for (const Traits::char_class_type mask : bracket.negated_classes) {
            member = member || !traits_.isctype(c, mask);
        }
        if (!member && !bracket.equivalences.empty()) {
            const std::string key = traits_.transform_primary(&c, &c + 1);
            member = std::find(bracket.equivalences.begin(), bracket.equivalences.end(), key) !=
                     bracket.equivalences.end();
        }
        set[static_cast<std::size_t>(byte)] = member != bracket.negated;
    }
    return set;
}

// In ECMAScript a "]" first in a set ends it, empty; a "-" first is a member.
LastTerm BodyReader::first_bracket_term() {
    advance();
    char first = '\0';
    if (try_char(first)) {
        return {LastTerm::character, first};
    }
    if (match(Kind::bracket_dash)) {
        return {LastTerm::character, '-'};
    }
    return {};
}

// The "[" is read; so is the "^" after it.
ByteSet BodyReader::bracket() {
    Bracket bracket;
    if (!at_end() && body_[at_] == '^') {
        bracket.negated = true;
        ++at_;
    }
    LastTerm last = first_bracket_term();
    while (bracket_term(bracket, last)) {
    }
    if (last.kind == LastTerm::character) {
        bracket.chars += last.value;
    }
    return members(bracket);
}

void BodyReader::push(std::vector<ElementToken>& tokens, ElementToken token) {
    states_ += token.repeated ? 2 : 1;
    if (states_ > kStateLimit) {
        reject(rc::error_space);
    }
    tokens.push_back(token);
}

std::vector<ElementToken> BodyReader::read() {
    fill_narrow_cache();
    std::vector<ElementToken> tokens;
    while (!at_end()) {
        const char c = take();
        if (c == '.') {
            const bool repeated = !at_end() && body_[at_] == '*';
            at_ += repeated ? 1 : 0;
            push(tokens, {any_but_line_breaks(), repeated});
        } else if (c == '[') {
            push(tokens, {bracket(), false});
        } else if (c == '\\') {
            char literal = '\0';
            if (!char_of(escape(false), literal)) {
                throw std::logic_error("glob: unexpected escape in a translated element");
            }
            push(tokens, {single(literal), false});
        } else if (std::string_view("^$*+?(){|").find(c) != std::string_view::npos) {
            throw std::logic_error("glob: unexpected operator in a translated element");
        } else {
            push(tokens, {single(c), false});
        }
    }
    return tokens;
}

}  // namespace

std::vector<ElementToken> read_expression_body(std::string_view body) {
    return BodyReader(body).read();
}

}  // namespace tarn::glob::detail
