// The element's steps run as a bit-parallel automaton: one bit per step, all
// positions of the name's prefix advanced at once, so no choice is ever retried.
#include "utilities/glob_matcher.h"

#include <regex>

#include "utilities/glob_pattern.h"

namespace tarn::glob::detail {
namespace {

constexpr std::size_t kWordBits = 64;
// Elements of up to this many words keep their state on the stack.
constexpr std::size_t kStackWords = 8;

// Runs of ".*" next to each other match what one of them matches.
std::vector<ElementToken> merge_runs(std::vector<ElementToken> tokens) {
    std::vector<ElementToken> merged;
    for (ElementToken& token : tokens) {
        if (token.repeated && !merged.empty() && merged.back().repeated &&
            merged.back().bytes == token.bytes) {
            continue;
        }
        merged.push_back(std::move(token));
    }
    return merged;
}

bool is_line_break(char c) { return c == '\n' || c == '\r'; }

}  // namespace

ElementMatcher::ElementMatcher(std::string_view element) {
    const ExpressionBody body = translate_body(element, true);
    const std::vector<ElementToken> tokens =
        merge_runs(read_expression_body(body.text, body.bracket_led_set ? &body.sets : nullptr));
    if (element.size() > kMaxDirectElement) {
        std::regex(frame_expression(body.text), std::regex::ECMAScript);
        checked_by_regex_ = true;
    }
    steps_ = tokens.size();
    words_ = steps_ / kWordBits + 1;
    accepts_.assign(256 * words_, 0);
    repeats_.assign(words_, 0);
    for (std::size_t step = 0; step < steps_; ++step) {
        const Word bit = Word{1} << (step % kWordBits);
        const std::size_t word = step / kWordBits;
        for (std::size_t byte = 0; byte < 256; ++byte) {
            if (tokens[step].bytes[byte]) {
                accepts_[byte * words_ + word] |= bit;
            }
        }
        if (tokens[step].repeated) {
            repeats_[word] |= bit;
        }
    }
}

bool ElementMatcher::matches(std::string_view name) const {
    // The expression's second alternative: one line break alone fits every element.
    if (name.size() == 1 && is_line_break(name[0])) {
        return true;
    }
    if (words_ <= kStackWords) {
        std::array<Word, kStackWords> state{};
        std::array<Word, kStackWords> next{};
        return run(name, state.data(), next.data());
    }
    std::vector<Word> state(words_);
    std::vector<Word> next(words_);
    return run(name, state.data(), next.data());
}

// Per byte: every live step that takes it either moves on (a single byte) or
// stays (a run); then every live run may also end, moving on without a byte.
// Runs never stand next to each other, so one such move covers all.
bool ElementMatcher::run(std::string_view name, Word* state, Word* next) const {
    const auto close_runs = [&](Word* bits) {
        Word carry = 0;
        for (std::size_t w = 0; w < words_; ++w) {
            const Word ending = bits[w] & repeats_[w];
            bits[w] |= (ending << 1) | carry;
            carry = ending >> (kWordBits - 1);
        }
    };
    for (std::size_t w = 0; w < words_; ++w) {
        state[w] = 0;
    }
    state[0] = 1;
    close_runs(state);
    for (const char c : name) {
        const Word* accepts = &accepts_[static_cast<unsigned char>(c) * words_];
        Word carry = 0;
        Word live = 0;
        for (std::size_t w = 0; w < words_; ++w) {
            const Word taking = state[w] & accepts[w];
            const Word moving = taking & ~repeats_[w];
            next[w] = (moving << 1) | carry | (taking & repeats_[w]);
            carry = moving >> (kWordBits - 1);
            live |= next[w];
        }
        if (live == 0) {
            return false;
        }
        close_runs(next);
        std::swap(state, next);
    }
    return (state[steps_ / kWordBits] >> (steps_ % kWordBits)) & 1U;
}

}  // namespace tarn::glob::detail
