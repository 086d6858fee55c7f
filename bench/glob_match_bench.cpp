// Times the glob element matcher on the worst patterns known for a
// backtracking matcher, against names of 255 bytes (the longest a file name
// can be), and prints the median nanoseconds per name for each.
// The patterns run in turn, round after round, so that load from elsewhere on
// the machine falls on all of them alike.
// Usage: glob_match_bench [rounds]   (default 15)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "utilities/glob_matcher.h"

namespace {

using tarn::glob::detail::ElementMatcher;

constexpr std::size_t kNameBytes = 255;
constexpr int kPasses = 20;  // over all names, per round

std::string repeat(const std::string& unit, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i) {
        text += unit;
    }
    return text;
}

struct Case {
    std::string label;
    std::string element;
};

std::vector<Case> worst_cases() {
    return {
        {"[!]**]", "[!]**]"},
        {"([!]*]*) x 8 + \"x\"", repeat("[!]*]*", 8) + "x"},
        {"([]a]*) x 8 + \"]b\"", repeat("[]a]*", 8) + "]b"},
        {"(*[ab]) x 12 + \"c\"", repeat("*[ab]", 12) + "c"},
        {"(*[!b]*) x 12 + \"b\"", repeat("*[!b]*", 12) + "b"},
        {"(*?) x 60 + \"c\"", repeat("*?", 60) + "c"},
        {"\"*\" x 200 + \"c\"", repeat("*", 200) + "c"},
        {"\"?\" x 254 + \"*c\"", repeat("?", 254) + "*c"},
        {"(*a) x 500 (1000 bytes)", repeat("*a", 500)},
    };
}

// Names that keep every "*" in play: almost all one byte, a few others.
std::vector<std::string> names() {
    std::vector<std::string> all = {std::string(kNameBytes, 'a'),
                                    std::string(kNameBytes - 1, 'a') + "b",
                                    std::string(kNameBytes, ']'), repeat("ab", 127) + "]"};
    std::srand(12345);
    for (int i = 0; i < 12; ++i) {
        std::string name;
        for (std::size_t j = 0; j < kNameBytes; ++j) {
            name += "ab]*"[std::rand() % 4];
        }
        all.push_back(name);
    }
    return all;
}

double nanoseconds_per_name(const ElementMatcher& matcher, const std::vector<std::string>& all,
                            int& matched) {
    const auto start = std::chrono::steady_clock::now();
    for (int pass = 0; pass < kPasses; ++pass) {
        for (const std::string& name : all) {
            matched += matcher.matches(name) ? 1 : 0;
        }
    }
    const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
    return took.count() / (kPasses * static_cast<double>(all.size()));
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    const std::vector<Case> cases = worst_cases();
    const std::vector<std::string> all = names();
    std::vector<ElementMatcher> matchers;
    for (const Case& c : cases) {
        matchers.emplace_back(c.element);
    }
    std::vector<std::vector<double>> times(cases.size());
    std::vector<int> matched(cases.size(), 0);
    for (int round = 0; round <= rounds; ++round) {
        for (std::size_t i = 0; i < cases.size(); ++i) {
            const double ns = nanoseconds_per_name(matchers[i], all, matched[i]);
            if (round > 0) {  // the first round warms up
                times[i].push_back(ns);
            }
        }
    }
    std::printf("%-28s %8s %10s %12s\n", "element", "bytes", "matches", "ns per name");
    for (std::size_t i = 0; i < cases.size(); ++i) {
        std::printf("%-28s %8zu %10d %12.0f\n", cases[i].label.c_str(), cases[i].element.size(),
                    matched[i] / ((rounds + 1) * kPasses), median(times[i]));
    }
    return 0;
}
