// A sectioned key/value configuration file: read once at construction,
// queried by section and entry, and written back at destruction when it was
// missing or a default had to be filled in.
//
// Format, line by line: ";" or "#" as the first character starts a comment;
// "[name]" opens a section; "name = value" stores an entry (a line without
// "=" stores itself as both name and value). Entries before the first header
// belong to the section named "". The first value of a repeated entry wins.
#pragma once

#include <cstdint>
#include <exception>
#include <map>
#include <string>

#include "config/Chameleon.h"

class ConfigSectionException : public std::exception {
  public:
    const char* what() const noexcept override;
};

class ConfigEntryException : public std::exception {
  public:
    const char* what() const noexcept override;
};

// `source` without leading and trailing characters that occur in `delims`.
std::string Trim(const std::string& source, const char* delims);

class ConfigFile {
  public:
    // A missing or unreadable file is not an error: the content starts empty
    // and the file is created at destruction.
    explicit ConfigFile(std::string configFile);
    // Writes the content back if anything was added or the file was missing.
    // Failures are reported on standard output; nothing is thrown.
    ~ConfigFile();

    // Writing back on destruction makes copies unsafe: two objects would
    // save the same path.
    ConfigFile(const ConfigFile&) = delete;
    ConfigFile& operator=(const ConfigFile&) = delete;

    // Throws ConfigSectionException or ConfigEntryException when absent.
    const Chameleon& Value(const std::string& section, const std::string& entry) const;
    // Return the stored value, or store `value` as the entry first. The
    // returned reference stays valid for the life of this object.
    const Chameleon& Value(const std::string& section, const std::string& entry, double value);
    const Chameleon& Value(const std::string& section, const std::string& entry,
                           const std::string& value);

  private:
    using Section = std::map<std::string, Chameleon>;

    void Read();
    const Chameleon& ValueOrInsert(const std::string& section, const std::string& entry,
                                   Chameleon value);
    void Save() const;
    bool WriteContent() const;

    std::map<std::string, Section> content_;
    std::string configFile_;
    std::int32_t changes_ = 0;
};
