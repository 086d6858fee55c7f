#include "config/ConfigFile.h"

#include <fstream>
#include <iostream>
#include <utility>

#include "utilities/file_utilities.h"

namespace {

constexpr const char* kBlanks = " \t\r\n";
constexpr const char* kSavingMessage = "Saving configuration file to ";
constexpr const char* kCouldNotSaveMessage =
    "!!! Could not save [check the directory seperator] configuration file to ";

bool IsComment(const std::string& line) { return line[0] == ';' || line[0] == '#'; }

// The name between "[" and the first "]", or the rest of the line when the
// bracket is never closed.
std::string SectionName(const std::string& header) {
    const std::string::size_type close = header.find(']');
    const std::string::size_type length = close == std::string::npos ? close : close - 1;
    return Trim(header.substr(1, length), kBlanks);
}

}  // namespace

// ---- Exceptions ----

const char* ConfigSectionException::what() const noexcept { return "section does not exist"; }

const char* ConfigEntryException::what() const noexcept { return "entry does not exist"; }

std::string Trim(const std::string& source, const char* delims) {
    std::string result(source);
    result.erase(result.find_last_not_of(delims) + 1);
    result.erase(0, result.find_first_not_of(delims));
    return result;
}

// ---- Reading and lookups ----

ConfigFile::ConfigFile(std::string configFile) : configFile_(std::move(configFile)) { Read(); }

void ConfigFile::Read() {
    std::ifstream file(configFile_);
    if (!file.is_open()) {
        ++changes_;
        return;
    }
    std::string section;
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || IsComment(line)) {
            continue;
        }
        if (line[0] == '[') {
            section = SectionName(line);
            continue;
        }
        const std::string::size_type equals = line.find('=');
        std::string name = Trim(line.substr(0, equals), kBlanks);
        std::string value =
            equals == std::string::npos ? name : Trim(line.substr(equals + 1), kBlanks);
        content_[section].emplace(std::move(name), Chameleon(std::move(value)));
    }
}

const Chameleon& ConfigFile::Value(const std::string& section, const std::string& entry) const {
    const auto found_section = content_.find(section);
    if (found_section == content_.end()) {
        throw ConfigSectionException();
    }
    const auto found_entry = found_section->second.find(entry);
    if (found_entry == found_section->second.end()) {
        throw ConfigEntryException();
    }
    return found_entry->second;
}

const Chameleon& ConfigFile::Value(const std::string& section, const std::string& entry,
                                   double value) {
    return ValueOrInsert(section, entry, Chameleon(value));
}

const Chameleon& ConfigFile::Value(const std::string& section, const std::string& entry,
                                   const std::string& value) {
    return ValueOrInsert(section, entry, Chameleon(value));
}

const Chameleon& ConfigFile::ValueOrInsert(const std::string& section, const std::string& entry,
                                           Chameleon value) {
    auto [stored, inserted] = content_[section].emplace(entry, std::move(value));
    if (inserted) {
        ++changes_;
    }
    return stored->second;
}

// ---- Saving ----

ConfigFile::~ConfigFile() {
    if (changes_ > 0) {
        Save();
    }
}

void ConfigFile::Save() const {
    std::cout << kSavingMessage << configFile_ << "\n";
    bool saved = false;
    try {
        tarn::utilities::create_directories_from_file_path(configFile_);
        saved = WriteContent();
    } catch (...) {
        // An empty name or an unreadable parent directory ends up here: the
        // content is lost either way, and a destructor must not throw.
    }
    if (!saved) {
        std::cout << kCouldNotSaveMessage << configFile_ << "\n";
    }
}

// Replaces the file with the whole content in sorted order. Returns false
// when the file could not be opened or a write failed.
bool ConfigFile::WriteContent() const {
    std::ofstream file(configFile_, std::ios::out | std::ios::trunc);
    if (!file.is_open()) {
        return false;
    }
    for (const auto& [section, entries] : content_) {
        file << "[" << section << "]\n\n";
        for (const auto& [name, value] : entries) {
            file << name << " = " << static_cast<std::string>(value) << "\n";
        }
        file << "\n";
    }
    file.close();
    return !file.fail();
}
