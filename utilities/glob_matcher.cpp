// Steps that take one byte each are tested at the name's two ends; what lies
// between the first and the last run ("*") runs as a bit-parallel automaton:
// one bit per step, all positions advanced at once, so no choice is retried.
#include "utilities/glob_matcher.h"

#include <algorithm>

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
    const std::vector<ElementToken> tokens =
        merge_runs(read_expression_body(translate_body(element)));
    const auto is_run = [](const ElementToken& token) { return token.repeated; };
    const auto first_run = std::find_if(tokens.begin(), tokens.end(), is_run);
    const auto after_last_run = std::find_if(tokens.rbegin(), tokens.rend(), is_run).base();
    for (auto token = tokens.begin(); token != first_run; ++token) {
        head_.push_back(token->bytes);
    }
    if (first_run == tokens.end()) {
        return;
    }
    for (auto token = after_last_run; token != tokens.end(); ++token) {
        tail_.push_back(token->bytes);
    }
    if (after_last_run - first_run == 1) {
        middle_ = Middle::one_run;
        run_bytes_ = first_run->bytes;
    } else {
        middle_ = Middle::automaton;
        build_automaton({first_run, after_last_run});
    }
}

void ElementMatcher::build_automaton(const std::vector<ElementToken>& steps) {
    steps_ = steps.size();
    words_ = steps_ / kWordBits + 1;
    accepts_.assign(256 * words_, 0);
    repeats_.assign(words_, 0);
    for (std::size_t step = 0; step < steps_; ++step) {
        const Word bit = Word{1} << (step % kWordBits);
        const std::size_t word = step / kWordBits;
        for (std::size_t byte = 0; byte < 256; ++byte) {
            if (steps[step].bytes[byte]) {
                accepts_[byte * words_ + word] |= bit;
            }
        }
        if (steps[step].repeated) {
            repeats_[word] |= bit;
        }
    }
}

bool ElementMatcher::matches(std::string_view name) const {
    // The expression's second alternative: one line break alone fits every element.
    if (name.size() == 1 && is_line_break(name[0])) {
        return true;
    }
    if (name.size() < head_.size() + tail_.size()) {
        return false;
    }
    const auto fits = [](const std::vector<ByteSet>& steps, std::string_view part) {
        for (std::size_t i = 0; i < steps.size(); ++i) {
            if (!steps[i][static_cast<unsigned char>(part[i])]) {
                return false;
            }
        }
        return true;
    };
    return fits(tail_, name.substr(name.size() - tail_.size())) && fits(head_, name) &&
           matches_middle(name.substr(head_.size(), name.size() - head_.size() - tail_.size()));
}

bool ElementMatcher::matches_middle(std::string_view middle) const {
    switch (middle_) {
        case Middle::empty:
            return middle.empty();
        case Middle::one_run:
            return std::all_of(middle.begin(), middle.end(),
                               [&](char c) { return run_bytes_[static_cast<unsigned char>(c)]; });
        case Middle::automaton:
            break;
    }
    if (words_ <= kStackWords) {
        std::array<Word, kStackWords> state{};
        return run(middle, state.data());
    }
    std::vector<Word> state(words_);
    return run(middle, state.data());
}

// Every live run may also end, moving on without a byte. Runs never stand next
// to each other, so one such move covers all. Returns the highest word that
// may now be live.
std::size_t ElementMatcher::close_runs(Word* state, std::size_t high) const {
    const std::size_t top = std::min(high + 1, words_ - 1);
    Word carry = 0;
    for (std::size_t w = 0; w <= top; ++w) {
        const Word ending = state[w] & repeats_[w];
        state[w] |= (ending << 1) | carry;
        carry = ending >> (kWordBits - 1);
    }
    return top;
}

// Per byte, every live step that takes it either moves on (a single byte) or
// stays (a run). Words above `high` hold no live step and are skipped, so a
// long element costs only as many words as the name has yet reached.
bool ElementMatcher::run(std::string_view name, Word* state) const {
    state[0] = 1;
    std::size_t high = close_runs(state, 0);
    for (const char c : name) {
        const Word* accepts = &accepts_[static_cast<unsigned char>(c) * words_];
        const std::size_t top = std::min(high + 1, words_ - 1);
        // Downwards, so that the word below still holds the state before this byte.
        Word moving = state[top] & accepts[top] & ~repeats_[top];
        for (std::size_t w = top;; --w) {
            const Word staying = state[w] & accepts[w] & repeats_[w];
            const Word moving_below = w > 0 ? state[w - 1] & accepts[w - 1] & ~repeats_[w - 1] : 0;
            state[w] = (moving << 1) | (moving_below >> (kWordBits - 1)) | staying;
            moving = moving_below;
            if (w == 0) {
                break;
            }
        }
        high = close_runs(state, top);
        while (high > 0 && state[high] == 0) {
            --high;
        }
        if (state[high] == 0) {
            return false;
        }
    }
    return (state[steps_ / kWordBits] >> (steps_ % kWordBits)) & 1U;
}

}  // namespace tarn::glob::detail
