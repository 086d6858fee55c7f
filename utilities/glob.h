// Shell-style path pattern expansion: "*", "?" and "[...]" within one path
// element, "**" as a whole element for recursive listing (rglob only), and a
// leading "~" for $HOME. Results come in the order of the directories searched
// and of the system's listings: nothing is sorted, normalised or deduplicated.
//
// A bracket set whose text begins with "]" (after an optional "!") holds that
// "]": "[]a]" matches "]" and "a", "[!]a]" any one character but those.
//
// Errors reach the caller: std::invalid_argument for "~" without HOME,
// std::filesystem::filesystem_error for a failed status query (other than
// "nothing there"), std::regex_error for a bracket set ECMAScript rejects.
// A directory that cannot be listed contributes nothing, without error.
#pragma once

#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

namespace tarn::glob {

std::vector<std::filesystem::path> glob(const std::string& pattern);
std::vector<std::filesystem::path> glob(const std::vector<std::string>& patterns);
std::vector<std::filesystem::path> glob(const std::initializer_list<std::string>& patterns);

std::vector<std::filesystem::path> rglob(const std::string& pattern);
std::vector<std::filesystem::path> rglob(const std::vector<std::string>& patterns);
std::vector<std::filesystem::path> rglob(const std::initializer_list<std::string>& patterns);

}  // namespace tarn::glob

namespace tarn::utilities {

// The same expansions as tarn::glob, as path texts.
std::vector<std::string> glob(const std::string& pattern);
std::vector<std::string> glob(const std::vector<std::string>& patterns);
std::vector<std::string> glob(const std::initializer_list<std::string>& patterns);

std::vector<std::string> rglob(const std::string& pattern);
std::vector<std::string> rglob(const std::vector<std::string>& patterns);
std::vector<std::string> rglob(const std::initializer_list<std::string>& patterns);

}  // namespace tarn::utilities
