// Glob patterns on a small fixed tree: only regular-expression and
// file-system errors may leave a call, and every path returned exists. The
// calls run on a thread with a small stack, as a caller's worker might, and
// patterns are as long as libFuzzer makes them (4,096 bytes by default), so
// that stack use growing with the pattern overflows at sizes reached here.
#include <pthread.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <system_error>
#include <vector>

#include "utilities/glob.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kStackBytes = 256 * 1024;

// The tree's directory, removed when the fuzzer exits.
std::string tree;

void make_tree() {
    static const bool made = [] {
        std::string pattern = (fs::temp_directory_path() / "glob_fuzz_XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr || chdir(pattern.c_str()) != 0) {
            std::abort();
        }
        tree = pattern;
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(tree, ignored);
        });
        setenv("HOME", pattern.c_str(), 1);
        for (const char* dir : {"src/a", "src/.hidden", "data/x y", "logs", "[br]"}) {
            fs::create_directories(dir);
        }
        for (const char* file : {"src/a/b.txt", "src/.hidden/c.log", "data/x y/d.TXT", "logs/a.log",
                                 "logs/.old.log", "[br]/e", "f+g.txt", "line\nfeed", "\r"}) {
            std::ofstream(file) << "x";
        }
        fs::create_directory_symlink("../src", "data/to_src");
        fs::create_directory_symlink(".", "logs/loop");
        return true;
    }();
    (void)made;
}

// Patterns stay inside the tree: no absolute paths and no way up.
bool stays_inside(const std::string& pattern) {
    return (pattern.empty() || pattern[0] != '/') && pattern.find("..") == std::string::npos;
}

void check_results(const std::vector<fs::path>& paths) {
    for (const fs::path& path : paths) {
        std::error_code error;
        if (!fs::exists(path, error) && !error) {
            std::abort();
        }
    }
}

void expand(const std::string& pattern, bool recursive) {
    try {
        check_results(recursive ? tarn::glob::rglob(pattern) : tarn::glob::glob(pattern));
    } catch (const std::regex_error&) {
    } catch (const fs::filesystem_error&) {
    }
}

void* expand_both(void* pattern) {
    expand(*static_cast<const std::string*>(pattern), false);
    expand(*static_cast<const std::string*>(pattern), true);
    return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    make_tree();
    std::string pattern(reinterpret_cast<const char*>(data), size);
    if (!stays_inside(pattern)) {
        return 0;
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kStackBytes);
    pthread_t thread;
    if (pthread_create(&thread, &attributes, expand_both, &pattern) != 0) {
        std::abort();
    }
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
    return 0;
}
