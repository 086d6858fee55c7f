// Glob expansion on real temporary trees. Listing order is the system's, so
// results are compared as multisets except where the order is defined (pattern
// order, pre-order of recursive listings).
#include "utilities/glob.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <optional>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/temp_dir.h"
#include "tests/utilities/glob_thread_stack.h"

namespace {

namespace fs = std::filesystem;
using skein_test::TempDir;
using Names = std::multiset<std::string>;

std::vector<std::string> texts(const std::vector<fs::path>& paths) {
    std::vector<std::string> result;
    for (const fs::path& path : paths) {
        result.push_back(path.string());
    }
    return result;
}

Names names(const std::vector<fs::path>& paths) {
    const std::vector<std::string> all = texts(paths);
    return Names(all.begin(), all.end());
}

void touch(const fs::path& path) { skein_test::write_file(path, ""); }

// Checks that paths below `root` come depth first, each before everything below it.
void expect_pre_order(const std::vector<std::string>& paths, const std::string& root) {
    std::vector<std::string> open = {root};
    for (const std::string& path : paths) {
        while (open.size() > 1 && path.rfind(open.back() + "/", 0) != 0) {
            open.pop_back();
        }
        EXPECT_EQ(fs::path(path).parent_path().string(), open.back()) << path;
        open.push_back(path);
    }
}

// Runs body in a child process without root's power to ignore permission bits;
// returns its exit code (the body's result, 99 for an exception).
int run_unprivileged(const std::function<int()>& body) {
    const pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(98);
        }
        int code = 99;
        try {
            code = body();
        } catch (...) {
        }
        _exit(code);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Glob : public testing::Test {
  protected:
    void SetUp() override {
        if (const char* home = std::getenv("HOME")) {
            saved_home_ = home;
        }
    }
    void TearDown() override {
        if (saved_home_) {
            setenv("HOME", saved_home_->c_str(), 1);
        } else {
            unsetenv("HOME");
        }
    }
    std::string cwd() const { return dir_.path().string(); }

    TempDir dir_;
    std::optional<std::string> saved_home_;
};

TEST_F(Glob, LiteralPatternsGiveThemselvesWhenSomethingIsThere) {
    fs::create_directory("data");
    touch("notes.txt");
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"", {}},
        {"notes.txt", {"notes.txt"}},
        {"missing.txt", {}},
        {"data/", {"data/"}},
        {"notes.txt/", {}},
        {"data//../notes.txt", {"data//../notes.txt"}},
        {std::string("notes.txt\0", 10), {}},
        {std::string("no\0*", 4), {}},
    };
    for (const auto& [pattern, expected] : cases) {
        EXPECT_EQ(texts(tarn::glob::glob(pattern)), expected) << pattern;
        EXPECT_EQ(tarn::utilities::rglob(pattern), expected) << pattern;
    }
}

TEST_F(Glob, TildeIsTheHomeDirectory) {
    const std::string home = cwd() + "/home";
    fs::create_directories(home + "other/x");
    fs::create_directory(home);
    touch(home + "/notes.txt");
    setenv("HOME", home.c_str(), 1);
    EXPECT_EQ(tarn::utilities::glob("~/notes.txt"), std::vector<std::string>{home + "/notes.txt"});
    EXPECT_EQ(tarn::utilities::glob("~"), std::vector<std::string>{home});
    EXPECT_EQ(tarn::utilities::glob("~/*.txt"), std::vector<std::string>{home + "/notes.txt"});
    EXPECT_EQ(tarn::utilities::glob("~other/*"), std::vector<std::string>{home + "other/x"});
    // Expanded once: a home that begins with "~" is taken as written.
    fs::create_directories("~/a/b");
    touch("~/a/b/x");
    setenv("HOME", "~/*", 1);
    EXPECT_EQ(tarn::utilities::glob("~/*/x"), std::vector<std::string>{"~/a/b/x"});

    unsetenv("HOME");
    for (const char* pattern : {"~/notes.txt", "~", "~nothing*"}) {
        try {
            tarn::glob::glob(pattern);
            ADD_FAILURE() << pattern << " did not throw";
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(),
                         "error: Unable to expand `~` - HOME environment variable not set.");
        }
    }
    fs::create_directory("a");
    touch("a/~");
    EXPECT_EQ(tarn::utilities::glob("a/~"), std::vector<std::string>{"a/~"});
}

// The listed paths' text decides what counts as hidden: entries of the current
// directory are listed absolute, so its dot-names are found; a directory written
// with a leading "." hides all its entries.
TEST_F(Glob, HiddenEntriesFollowTheListedPathText) {
    fs::create_directories("logs");
    fs::create_directories(".cache");
    for (const char* file : {"a.log", ".old.log", "logs/a.log", "logs/.old.log", ".cache/x"}) {
        touch(file);
    }
    EXPECT_EQ(names(tarn::glob::glob("*.log")), (Names{"a.log", ".old.log"}));
    EXPECT_EQ(names(tarn::glob::glob("logs/*.log")), (Names{"logs/a.log", "logs/.old.log"}));
    EXPECT_EQ(names(tarn::glob::glob("logs//*.log")), (Names{"logs/a.log", "logs/.old.log"}));
    EXPECT_TRUE(tarn::glob::glob("./*.log").empty());
    EXPECT_TRUE(tarn::glob::glob(".cache/*").empty());
    EXPECT_TRUE(tarn::glob::rglob("./**").size() == 1);  // only "./." itself
}

TEST_F(Glob, RootWildcardHasNoDoubledSeparator) {
    Names expected;
    for (const fs::directory_entry& entry : fs::directory_iterator("/")) {
        expected.insert(entry.path().string());
    }
    EXPECT_EQ(names(tarn::glob::glob("/*")), expected);
}

TEST_F(Glob, MatchesRealNames) {
    for (const char* file :
         {"a b.txt", "a.b", "axb", "[x]", "x", "A.TXT", "a.txt", "line\nfeed", ".dot", "\n"}) {
        touch(file);
    }
    const std::pair<const char*, Names> cases[] = {
        {"*", {"a b.txt", "a.b", "axb", "[x]", "x", "A.TXT", "a.txt", ".dot", "\n"}},
        {"a?b", {"a.b", "axb", "\n"}},
        {"a.b*", {"a.b", "\n"}},
        {"*.TXT", {"A.TXT", "\n"}},
        {"*.txt", {"a b.txt", "a.txt", "\n"}},
        {"a *", {"a b.txt", "\n"}},
        {"[[]*", {"[x]", "\n"}},
        {"*[]]", {"[x]", "\n"}},
        {"line*", {"\n"}},
        {".*", {".dot", "\n"}},
        {"[!a]*", {"[x]", "x", "A.TXT", ".dot", "\n"}},
    };
    for (const auto& [pattern, expected] : cases) {
        EXPECT_EQ(names(tarn::glob::glob(pattern)), expected) << pattern;
    }
}

class RecursiveGlob : public Glob {
  protected:
    void SetUp() override {
        Glob::SetUp();
        fs::create_directories("src/a/b");
        fs::create_directories("src/.hid");
        fs::create_directories("other");
        for (const char* file :
             {"src/a/x.txt", "src/a/b/y", "src/.hid/z", "src/c.txt", "top.txt", "other/o.txt"}) {
            touch(file);
        }
        fs::create_directory_symlink("a", "src/link");
    }
};

TEST_F(RecursiveGlob, DoubleStarListsEverythingInPreOrder) {
    std::vector<std::string> all = tarn::utilities::rglob("**");
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.front(), ".");
    all.erase(all.begin());
    expect_pre_order(all, cwd());
    Names expected;
    for (const char* path : {"src", "src/a", "src/a/x.txt", "src/a/b", "src/a/b/y", "src/.hid",
                             "src/.hid/z", "src/c.txt", "src/link", "src/link/x.txt", "src/link/b",
                             "src/link/b/y", "top.txt", "other", "other/o.txt"}) {
        expected.insert(cwd() + "/" + path);
    }
    EXPECT_EQ(Names(all.begin(), all.end()), expected);
}

TEST_F(RecursiveGlob, DirectoryDoubleStarStartsWithItself) {
    std::vector<std::string> all = tarn::utilities::rglob("src/**");
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.front(), "src/.");
    all.erase(all.begin());
    expect_pre_order(all, "src");
    EXPECT_EQ(all.size(), 11u);
    // Directories to search come from a directory-only listing: no "top.txt/.".
    const Names below_each = names(tarn::glob::rglob("*/**"));
    EXPECT_EQ(below_each.count("src/."), 1u);
    EXPECT_EQ(below_each.count("top.txt/."), 0u);
    // Only a directory has a "." to offer.
    EXPECT_TRUE(tarn::glob::rglob("missing/**").empty());
    EXPECT_TRUE(tarn::glob::rglob("top.txt/**").empty());
    EXPECT_EQ(names(tarn::glob::rglob("**/*.txt")),
              (Names{cwd() + "/src/a/x.txt", cwd() + "/src/c.txt", cwd() + "/src/link/x.txt",
                     cwd() + "/other/o.txt"}));
}

TEST_F(RecursiveGlob, DoubleStarIsPlainOutsideRglob) {
    EXPECT_EQ(names(tarn::glob::glob("src/**")),
              (Names{"src/a", "src/.hid", "src/c.txt", "src/link"}));
    for (const char* pattern : {"*.txt", "src/a**", "src/*/*"}) {
        EXPECT_EQ(names(tarn::glob::rglob(pattern)), names(tarn::glob::glob(pattern))) << pattern;
    }
}

TEST_F(RecursiveGlob, DirectoryWildcardWithSlashGivesDirDot) {
    EXPECT_EQ(names(tarn::glob::glob("*/")), (Names{"src/.", "other/."}));
    EXPECT_EQ(names(tarn::glob::glob("src/*/")), (Names{"src/a/.", "src/.hid/.", "src/link/."}));
    EXPECT_EQ(names(tarn::glob::glob("*/*.txt")), (Names{"src/c.txt", "other/o.txt"}));
}

TEST_F(RecursiveGlob, ListFormsKeepOrderAndDuplicates) {
    touch("a.txt");
    touch("ab");
    const std::vector<std::string> patterns = {"*.txt", "a*", "nothing", "a.txt"};
    const std::vector<std::string> listed = tarn::utilities::glob(patterns);
    ASSERT_EQ(listed.size(), 5u);
    EXPECT_EQ(Names(listed.begin(), listed.begin() + 2), (Names{"a.txt", "top.txt"}));
    EXPECT_EQ(Names(listed.begin() + 2, listed.begin() + 4), (Names{"a.txt", "ab"}));
    EXPECT_EQ(listed.back(), "a.txt");
    EXPECT_EQ(texts(tarn::glob::glob({"*.txt", "a*", "nothing", "a.txt"})), listed);
    EXPECT_EQ(tarn::utilities::glob({"*.txt", "a*", "nothing", "a.txt"}), listed);
    EXPECT_EQ(texts(tarn::glob::glob(patterns)), listed);

    const std::vector<std::string> recursive = {"src/**", "*.txt"};
    const std::vector<std::string> expanded = tarn::utilities::rglob(recursive);
    EXPECT_EQ(expanded, texts(tarn::glob::rglob(recursive)));
    EXPECT_EQ(expanded, tarn::utilities::rglob({"src/**", "*.txt"}));
    EXPECT_EQ(expanded.size(), 12u + 2u);
}

TEST_F(RecursiveGlob, SymbolicLinkCycleFailsTheWholeCall) {
    fs::create_directory_symlink(".", "loop");
    EXPECT_EQ(names(tarn::glob::glob("loop/loop/*.txt")), (Names{"loop/loop/top.txt"}));
    EXPECT_THROW(tarn::glob::rglob("**"), fs::filesystem_error);
}

// Each directory part with a wildcard is one more step, not one call deeper.
TEST_F(Glob, ManyWildcardDirectoriesFitASmallStack) {
    fs::create_directories("a/b");
    std::string pattern;
    for (int i = 0; i < 5000; ++i) {
        pattern += "*/";
    }
    skein_test::on_thread_with_stack(std::size_t{256} << 10,
                                     [&] { EXPECT_TRUE(tarn::glob::glob(pattern + "x").empty()); });
}

TEST_F(Glob, RejectedBracketSetFailsTheCall) {
    touch("z");
    EXPECT_THROW(tarn::glob::glob("[z-a]"), std::regex_error);
    EXPECT_THROW(tarn::glob::glob("missing/[z-a]"), std::regex_error);
    EXPECT_THROW(tarn::utilities::rglob({"z", "[z-a]"}), std::regex_error);
    // No directory to search: the element is never matched.
    EXPECT_TRUE(tarn::glob::glob("nothing*/[z-a]").empty());
}

TEST_F(Glob, DirectoryThatCannotBeListedContributesNothing) {
    fs::permissions(cwd(), fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec |
                               fs::perms::group_read | fs::perms::group_exec);
    fs::create_directories("closed/inner");
    fs::create_directories("open");
    touch("closed/f");
    touch("open/f");
    fs::permissions("closed", fs::perms::none);
    const int code = run_unprivileged([this] {
        if (names(tarn::glob::glob("*/*")) != Names{"open/f"}) {
            return 1;
        }
        const Names all = names(tarn::glob::rglob("**"));
        return all == Names{".", cwd() + "/closed", cwd() + "/open", cwd() + "/open/f"} ? 0 : 2;
    });
    fs::permissions("closed", fs::perms::owner_all);
    EXPECT_EQ(code, 0);
}

// A directory that can be read but not searched: its names are listed, but the
// status query for an entry fails, and that failure ends a recursive expansion.
TEST_F(Glob, FailedStatusQueryBelowADirectoryThrows) {
    fs::permissions(cwd(), fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    fs::create_directories("listable");
    touch("listable/f1");
    touch("listable/f2");
    fs::permissions("listable", fs::perms::owner_read | fs::perms::others_read);
    const int code = run_unprivileged([] {
        if (texts(tarn::glob::glob("listable/*")).size() != 2) {
            return 1;
        }
        try {
            tarn::glob::rglob("**");
        } catch (const fs::filesystem_error&) {
            return 0;
        }
        return 2;
    });
    fs::permissions("listable", fs::perms::owner_all);
    EXPECT_EQ(code, 0);
}

// Each test runs in a fresh process, so these are the tables' first uses.
TEST_F(Glob, FirstCallsFromSeveralThreadsAgree) {
    for (const char* file : {"a.txt", "b&.txt", "c|d.txt", "e"}) {
        touch(file);
    }
    constexpr int kThreads = 8;
    std::atomic<int> ready{0};
    std::vector<Names> results(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            ++ready;
            while (ready < kThreads) {
            }
            results[i] = names(tarn::glob::glob("[ab&|c]*.t?t"));
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const Names& result : results) {
        EXPECT_EQ(result, (Names{"a.txt", "b&.txt", "c|d.txt"}));
    }
}

}  // namespace
