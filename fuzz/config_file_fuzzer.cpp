// Any file content is read, looked up with and without defaults, saved, and
// read back to the same content.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/ConfigFile.h"

namespace {

namespace fs = std::filesystem;

const fs::path& sandbox() {
    static const fs::path dir = [] {
        std::string pattern = (fs::temp_directory_path() / "config_fuzz_XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        // Every save announces itself on standard output.
        if (std::freopen("/dev/null", "w", stdout) == nullptr) {
            std::abort();
        }
        return fs::path(pattern);
    }();
    return dir;
}

void write(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Entry names that start like a comment or a section header are written
// back verbatim and so cannot be read back as entries: the file format has
// no quoting. Such inputs are checked for safety only.
bool saves_losslessly(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        if (line.empty() || line[0] == ';' || line[0] == '#' || line[0] == '[') {
            continue;
        }
        std::string name = Trim(line.substr(0, line.find('=')), " \t\r\n");
        if (!name.empty() && (name[0] == ';' || name[0] == '#' || name[0] == '[')) {
            return false;
        }
    }
    return true;
}

// Plain lookups of names taken from the input only ever throw the two
// lookup exceptions.
void look_up_everything(const fs::path& path, const std::vector<std::string>& lines) {
    ConfigFile file(path.string());
    std::string section;
    for (const std::string& line : lines) {
        if (!line.empty() && line[0] == '[') {
            section = Trim(line.substr(1, line.find(']') - 1), " \t\r\n");
            continue;
        }
        std::string name = Trim(line.substr(0, line.find('=')), " \t\r\n");
        try {
            (void)static_cast<double>(file.Value(section, name));
        } catch (const ConfigSectionException&) {
        } catch (const ConfigEntryException&) {
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> lines = lines_of(input);
    const fs::path once = sandbox() / "once.cnf";
    const fs::path twice = sandbox() / "twice.cnf";

    write(once, input);
    look_up_everything(once, lines);
    if (read(once) != input) {
        std::abort();  // lookups without defaults never rewrite the file
    }

    // Saved and read back, then saved again ...
    {
        ConfigFile file(once.string());
        (void)file.Value("\x01fuzz", "first", 1.5);
    }
    {
        ConfigFile file(once.string());
        (void)file.Value("\x01fuzz", "second", std::string("text"));
    }
    // ... equals one save of the same content.
    write(twice, input);
    {
        ConfigFile file(twice.string());
        (void)file.Value("\x01fuzz", "first", 1.5);
        (void)file.Value("\x01fuzz", "second", std::string("text"));
    }
    if (saves_losslessly(lines) && read(once) != read(twice)) {
        std::abort();
    }
    return 0;
}
