// Whole-name matching against one pattern element, without backtracking.
// Internal to the glob library; declared here so that it can be tested on its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "utilities/glob_expression.h"

namespace tarn::glob::detail {

// Decides whether whole names fit one pattern element, in time linear in the
// name's length times the element's. Each element is answered as
// std::regex_match with the compiled translate(element) answers.
class ElementMatcher {
  public:
    // Throws std::regex_error where the translated expression does not compile.
    explicit ElementMatcher(std::string_view element);

    bool matches(std::string_view name) const;

  private:
    using Word = std::uint64_t;

    void build_automaton(const std::vector<ElementToken>& steps);
    bool matches_middle(std::string_view middle) const;
    std::size_t close_runs(Word* state, std::size_t high) const;
    bool run(std::string_view name, Word* state) const;

    // Steps before the first run and after the last take one byte each at
    // the name's two ends, so they are tested there directly.
    std::vector<ByteSet> head_;
    std::vector<ByteSet> tail_;
    enum class Middle : unsigned char { empty, one_run, automaton } middle_ = Middle::empty;
    ByteSet run_bytes_;  // the bytes of a middle that is one run

    // The automaton for a middle with more steps. Bit k of its state: the
    // first k steps are matched.
    std::size_t words_ = 0;
    std::size_t steps_ = 0;
    std::vector<Word> accepts_;  // per byte value, the steps that take it
    std::vector<Word> repeats_;  // the steps that take a run of bytes
};

}  // namespace tarn::glob::detail
