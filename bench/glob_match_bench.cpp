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
    std::string name_end;  // every name ends so, to get past the element's fixed end
};

std::vector<Case> worst_cases() {
    return {
        {"[!]**]", "[!]**]", ""},
        {"([!]*]*) x 8 + \"x\"", repeat("[!]*]*", 8) + "x", "x"},
        {"([]a]*) x 8 + \"]b\"", repeat("[]a]*", 8) + "]b", "]b"},
        {"(*[ab]) x 12 + \"c\"", repeat("*[ab]", 12) + "c", "c"},
        {"(*[!b]*) x 12 + \"b\"", repeat("*[!b]*", 12) + "b", "b"},
        {"(*?) x 60 + \"c\"", repeat("*?", 60) + "c", "c"},
        {"\"*\" x 200 + \"c\"", repeat("*", 200) + "c", "c"},
        {"\"?\" x 254 + \"*c\"", repeat("?", 254) + "*c", "c"},
        {"(*?*[!]a]) x 40 + \"c\"", repeat("*?*[!]a]", 40) + "c", "c"},
        {"(*a) x 500 (1000 bytes)", repeat("*a", 500), "a"},
    };
}

// Names of 255 bytes that keep every "*" in play: runs of one byte, and
// random mixes of the bytes the elements name.
std::vector<std::string> names(const std::string& end) {
    const std::size_t body = kNameBytes - end.size();
    std::vector<std::string> all = {std::string(body, 'a') + end, std::string(body, ']') + end,
                                    repeat("ab", body / 2) + std::string(body % 2, 'a') + end};
    std::srand(12345);
    for (int i = 0; i < 13; ++i) {
        std::string name;
        for (std::size_t j = 0; j < body; ++j) {
            name += "ab]*"[std::rand() % 4];
        }
        all.push_back(name + end);
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
    std::vector<ElementMatcher> matchers;
    std::vector<std::vector<std::string>> all;
    for (const Case& c : cases) {
        matchers.emplace_back(c.element);
        all.push_back(names(c.name_end));
    }
    std::vector<std::vector<double>> times(cases.size());
    std::vector<int> matched(cases.size(), 0);
    for (int round = 0; round <= rounds; ++round) {
        for (std::size_t i = 0; i < cases.size(); ++i) {
            const double ns = nanoseconds_per_name(matchers[i], all[i], matched[i]);
            if (round > 0) {  // the first round warms up
                times[i].push_back(ns);
            }
        }
    }
    std::printf("%-28s %8s %10s %12s\n", "element", "bytes", "matches", "ns per name");
    for (std::size_t i = 0; i < cases.size(); ++i) {
        std::printf("%-28s %8zu %7d/%zu %12.0f\n", cases[i].label.c_str(), cases[i].element.size(),
                    matched[i] / ((rounds + 1) * kPasses), all[i].size(), median(times[i]));
    }
    return 0;
}
