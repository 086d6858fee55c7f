// Glob expansion over the file system: splitting patterns into path elements,
// the per-directory strategies (literal, wildcard, recursive) and the directory
// listings they read. Element matching lives in glob_pattern.
#include "utilities/glob.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "utilities/glob_matcher.h"

namespace tarn::glob {
namespace {

namespace fs = std::filesystem;
using Paths = std::vector<std::string>;
using detail::ElementMatcher;

constexpr char kHomeNotSet[] = "error: Unable to expand `~` - HOME environment variable not set.";

// ---- Path text ----

// Appends "/" unless d is empty or ends in one or n is empty or begins with one, then n.
void append_name(std::string& directory, std::string_view name) {
    if (!directory.empty() && directory.back() != '/' && !name.empty() && name.front() != '/') {
        directory += '/';
    }
    directory += name;
}

std::string join(std::string_view directory, std::string_view name) {
    std::string joined(directory);
    append_name(joined, name);
    return joined;
}

// Takes a path apart into an optional root "/", the names between runs of
// separators, and a final "." when the text ends in a separator after a name.
std::vector<std::string_view> path_elements(std::string_view text) {
    std::vector<std::string_view> elements;
    if (!text.empty() && text.front() == '/') {
        elements.emplace_back("/");
    }
    std::size_t at = text.find_first_not_of('/');
    while (at != std::string_view::npos) {
        const std::size_t end = std::min(text.find('/', at), text.size());
        elements.push_back(text.substr(at, end - at));
        at = text.find_first_not_of('/', end);
    }
    if (!text.empty() && text.back() == '/' && !elements.empty() && elements.back() != "/") {
        elements.emplace_back(".");
    }
    return elements;
}

// The first `count` elements joined: the directory part of the element after them.
std::string join_elements(const std::vector<std::string_view>& elements, std::size_t count) {
    std::string directory;
    for (std::size_t i = 0; i < count; ++i) {
        append_name(directory, elements[i]);
    }
    return directory;
}

// True when the text splits into more than one element.
bool has_directory_part(std::string_view text) {
    return text.find('/') != std::string_view::npos &&
           text.find_first_not_of('/') != std::string_view::npos;
}

bool has_magic(const std::string& text) {
    static const std::regex magic_check("([*?[])", std::regex::ECMAScript);
    return std::regex_search(text, magic_check);
}

std::string expand_tilde(const std::string& pattern) {
    if (pattern.empty() || pattern.front() != '~') {
        return pattern;
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr) {
        throw std::invalid_argument(kHomeNotSet);
    }
    return home + pattern.substr(1);
}

// True when a status query (following symbolic links) finds anything at the path;
// throws filesystem_error when the query fails for another reason.
bool found(const std::string& path) { return fs::exists(fs::status(path)); }

// ---- Listings ----

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

struct Located {
    std::string text;  // the path listed entries are joined to
    bool is_directory;
    std::unique_ptr<DIR, DirCloser> listing;  // open when its entries are to be read
};

// The directory to list ("" is the current one, absolute), or nothing when no
// file is there. Throws filesystem_error as found() does. A directory is opened
// first: when that works, a status query could only have found a directory, so
// none is made. A text that begins with "." is not opened: every path listed
// from it would begin with "." too and be taken for hidden.
std::optional<Located> locate(const std::string& directory) {
    std::string text = directory.empty() ? fs::current_path().string() : directory;
    if (text.front() != '.') {
        if (DIR* dir = opendir(text.c_str())) {
            return Located{std::move(text), true, std::unique_ptr<DIR, DirCloser>(dir)};
        }
    }
    const fs::file_status status = fs::status(text);
    if (!fs::exists(status)) {
        return std::nullopt;
    }
    return Located{std::move(text), fs::is_directory(status), nullptr};
}

// What the listing tells of an entry without a status query.
enum class EntryType { directory, other, unknown };

EntryType entry_type(unsigned char d_type) {
    switch (d_type) {
        case DT_DIR:
            return EntryType::directory;
        case DT_LNK:
        case DT_UNKNOWN:
            return EntryType::unknown;
        default:
            return EntryType::other;
    }
}

bool is_directory_at(int directory_fd, const char* name) {
    struct stat status {};
    return fstatat(directory_fd, name, &status, 0) == 0 && S_ISDIR(status.st_mode);
}

// Calls visit(name, type) for each entry of a located directory in listing order,
// "." and ".." left out. A directory that could not be opened yields nothing and
// a read error ends the listing, both quietly. With directory_only, only entries
// that are directories (following symbolic links) are yielded.
template <typename Visit>
void for_each_entry(const Located& located, bool directory_only, Visit&& visit) {
    DIR* const dir = located.listing.get();
    if (dir == nullptr) {
        return;
    }
    while (const dirent* entry = readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        EntryType type = entry_type(entry->d_type);
        if (directory_only && type != EntryType::directory) {
            if (type == EntryType::other || !is_directory_at(dirfd(dir), entry->d_name)) {
                continue;
            }
            type = EntryType::directory;
        }
        visit(name, type);
    }
}

struct Entry {
    std::string path;
    EntryType type;
};

// The entries of a located directory, each joined to its text.
std::vector<Entry> iter_directory(const Located& located, bool directory_only) {
    std::vector<Entry> entries;
    for_each_entry(located, directory_only, [&](std::string_view name, EntryType type) {
        entries.push_back({join(located.text, name), type});
    });
    return entries;
}

// Once anything has been found at one entry of a directory, a query for another entry
// that the listing reports as neither a directory nor a symbolic link resolves the
// same way plus one plain last name: it can only find that non-directory, whose own
// listing is empty. Only a path too long for the system would fail instead.
bool listing_known_empty(const Entry& entry, bool directory_searchable) {
    return directory_searchable && entry.type == EntryType::other && entry.path.size() < PATH_MAX;
}

// Appends the tree below `directory` depth first and pre-order, each path before
// everything below it. Returns whether anything was found at `directory`;
// throws filesystem_error when a status query there fails otherwise.
bool rlistdir(const std::string& directory, bool directory_only, Paths& out) {
    std::optional<Located> located = locate(directory);
    if (!located) {
        return false;
    }
    // Listed paths begin with the directory's text; those that begin with "." are
    // skipped with everything below them, so such a listing need not be read.
    if (located->text.front() == '.') {
        return true;
    }
    std::vector<Entry> entries = iter_directory(*located, directory_only);
    located->listing.reset();  // read whole: no descriptor held while descending
    bool searchable = false;
    for (Entry& entry : entries) {
        const std::size_t slot = out.size();
        out.emplace_back();
        if (!listing_known_empty(entry, searchable) && rlistdir(entry.path, directory_only, out)) {
            searchable = true;
        }
        out[slot] = std::move(entry.path);
    }
    return true;
}

// ---- Strategies for the final element ----

// The element alone when something exists at directory/element.
Paths glob0(const std::string& directory, const std::string& element) {
    if (found(join(directory, element))) {
        return {element};
    }
    return {};
}

// The names in `directory` that match the element, in listing order. The matcher
// is compiled on the first call and kept for the other directories of the same
// expansion: compiling the same element again can only give the same result.
Paths glob1(const std::string& directory, const std::string& element, bool directory_only,
            std::optional<ElementMatcher>& matcher) {
    const std::optional<Located> located = locate(directory);
    if (!matcher) {
        matcher.emplace(element);
    }
    Paths names;
    // Every listed path begins with the directory's text: one that begins with "."
    // is taken for hidden, which drops the whole listing.
    if (!located || located->text.front() == '.') {
        return names;
    }
    for_each_entry(*located, directory_only, [&](std::string_view name, EntryType) {
        if (matcher->matches(name)) {
            names.emplace_back(name);
        }
    });
    return names;
}

// "." (the directory itself) followed by the whole tree below it.
Paths glob2(const std::string& directory, bool directory_only) {
    // "." stands for the directory itself, so it is offered only where there
    // is one: 'missing/**' or 'file/**' names nothing.
    const std::optional<Located> located = locate(directory);
    if (!located || !located->is_directory) {
        return {};
    }
    Paths paths{"."};
    rlistdir(directory, directory_only, paths);
    return paths;
}

// ---- Expansion ----

// The names that match `element` in each of `directories`, in order, each joined
// to its directory unless it is a path of its own.
Paths search_each(const Paths& directories, const std::string& element, bool recursive,
                  bool directory_only) {
    const bool literal = !has_magic(element);
    const bool recursive_element = recursive && element == "**";
    std::optional<ElementMatcher> matcher;
    Paths result;
    for (const std::string& directory : directories) {
        Paths names = literal             ? glob0(directory, element)
                      : recursive_element ? glob2(directory, directory_only)
                                          : glob1(directory, element, directory_only, matcher);
        for (std::string& name : names) {
            result.push_back(has_directory_part(name) ? std::move(name) : join(directory, name));
        }
    }
    return result;
}

// The first element with a wildcard, or the number of elements.
std::size_t first_wildcard(const std::vector<std::string_view>& elements) {
    const auto at = std::find_if(elements.begin(), elements.end(), [](std::string_view element) {
        return has_magic(std::string(element));
    });
    return static_cast<std::size_t>(at - elements.begin());
}

// The core expansion. A directory part with wildcards is expanded as a pattern
// of its own, listing directories only, and the final element is searched for
// in each directory that gives. Such parts are the path's leading elements, so
// the path is taken apart once and, from the first element with a wildcard on,
// each element is searched for in the directories the one before gave: a loop
// where one call deeper for each part overflowed a small stack. The "~" is
// expanded once, in the pattern as given.
Paths glob(const std::string& pattern, bool recursive, bool directory_only) {
    // No name on the file system holds a NUL, and system calls would cut the text there.
    if (pattern.find('\0') != std::string::npos) {
        return {};
    }
    const std::string path = expand_tilde(pattern);
    if (!has_magic(pattern)) {
        if (!path.empty() && found(path)) {
            return {path};
        }
        return {};
    }
    const std::vector<std::string_view> elements = path_elements(path);
    const std::size_t last = elements.size() - 1;
    const std::size_t first = std::min(first_wildcard(elements), last);
    // Every element but the pattern's final one is searched for directories only.
    const auto flag_of = [&](std::size_t element) {
        return element == last ? directory_only : true;
    };
    const std::string element(elements[first]);
    const std::string directory = join_elements(elements, first);
    Paths paths;
    if (directory.empty()) {
        std::optional<ElementMatcher> matcher;
        paths = recursive && element == "**" ? glob2("", flag_of(first))
                                             : glob1("", element, flag_of(first), matcher);
    } else {
        paths = search_each({directory}, element, recursive, flag_of(first));
    }
    for (std::size_t next = first + 1; next <= last; ++next) {
        paths = search_each(paths, std::string(elements[next]), recursive, flag_of(next));
    }
    return paths;
}

// One pattern from a public call: the directory-only flag starts clear.
Paths expand(const std::string& pattern, bool recursive) { return glob(pattern, recursive, false); }

Paths expand_all(const std::vector<std::string>& patterns, bool recursive) {
    Paths all;
    for (const std::string& pattern : patterns) {
        Paths one = expand(pattern, recursive);
        all.insert(all.end(), std::make_move_iterator(one.begin()),
                   std::make_move_iterator(one.end()));
    }
    return all;
}

std::vector<fs::path> to_paths(Paths&& texts) {
    std::vector<fs::path> paths;
    paths.reserve(texts.size());
    for (std::string& text : texts) {
        paths.emplace_back(std::move(text));
    }
    return paths;
}

}  // namespace

std::vector<fs::path> glob(const std::string& pattern) { return to_paths(expand(pattern, false)); }

std::vector<fs::path> glob(const std::vector<std::string>& patterns) {
    return to_paths(expand_all(patterns, false));
}

std::vector<fs::path> glob(const std::initializer_list<std::string>& patterns) {
    return glob(std::vector<std::string>(patterns));
}

std::vector<fs::path> rglob(const std::string& pattern) { return to_paths(expand(pattern, true)); }

std::vector<fs::path> rglob(const std::vector<std::string>& patterns) {
    return to_paths(expand_all(patterns, true));
}

std::vector<fs::path> rglob(const std::initializer_list<std::string>& patterns) {
    return rglob(std::vector<std::string>(patterns));
}

}  // namespace tarn::glob

// The path texts come straight from the expansion, without a detour through
// std::filesystem::path (whose text is the same).
namespace tarn::utilities {

std::vector<std::string> glob(const std::string& pattern) {
    return tarn::glob::expand(pattern, false);
}

std::vector<std::string> glob(const std::vector<std::string>& patterns) {
    return tarn::glob::expand_all(patterns, false);
}

std::vector<std::string> glob(const std::initializer_list<std::string>& patterns) {
    return glob(std::vector<std::string>(patterns));
}

std::vector<std::string> rglob(const std::string& pattern) {
    return tarn::glob::expand(pattern, true);
}

std::vector<std::string> rglob(const std::vector<std::string>& patterns) {
    return tarn::glob::expand_all(patterns, true);
}

std::vector<std::string> rglob(const std::initializer_list<std::string>& patterns) {
    return rglob(std::vector<std::string>(patterns));
}

}  // namespace tarn::utilities
