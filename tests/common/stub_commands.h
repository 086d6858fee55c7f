// Stub `reboot` and `docker` executables first on PATH, so that no test can
// reach the real ones. The constructor checks that the stubs win and throws
// otherwise; the destructor restores PATH.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "tests/common/temp_dir.h"

namespace skein_test {

// Each stub appends its arguments as one line to <bin>/<name>.calls, sleeps
// for the seconds in <bin>/<name>.sleep if present, leaves a background
// process holding its inherited descriptors for the seconds in
// <bin>/<name>.linger if present, and exits with the code found in
// <bin>/<name>.exit (0 when missing).
inline std::string stub_script(const std::string& name) {
    return "#!/bin/sh\n"
           "here=$(dirname \"$0\")\n"
           "echo \"$*\" >> \"$here/" +
           name +
           ".calls\"\n"
           "[ -f \"$here/" +
           name + ".sleep\" ] && sleep \"$(cat \"$here/" + name +
           ".sleep\")\"\n"
           "[ -f \"$here/" +
           name + ".linger\" ] && { sleep \"$(cat \"$here/" + name +
           ".linger\")\" & }\n"
           "code=0\n"
           "[ -f \"$here/" +
           name + ".exit\" ] && code=$(cat \"$here/" + name +
           ".exit\")\n"
           "exit \"$code\"\n";
}

inline std::string resolve_in_shell(const std::string& command) {
    std::string probe = "command -v " + command;
    FILE* pipe = popen(probe.c_str(), "r");
    if (pipe == nullptr) {
        return "";
    }
    char line[4096] = {0};
    std::string found = fgets(line, sizeof line, pipe) != nullptr ? line : "";
    pclose(pipe);
    while (!found.empty() && found.back() == '\n') {
        found.pop_back();
    }
    return found;
}

class StubCommands {
  public:
    explicit StubCommands(const std::filesystem::path& bin) : bin_(bin) {
        const char* path = getenv("PATH");
        old_path_ = path != nullptr ? path : "";
        std::filesystem::create_directories(bin_);
        for (const char* name : {"reboot", "docker"}) {
            write_executable(bin_ / name, stub_script(name));
        }
        setenv("PATH", (bin_.string() + ":" + old_path_).c_str(), 1);
        for (const char* name : {"reboot", "docker"}) {
            if (resolve_in_shell(name) != (bin_ / name).string()) {
                restore();
                throw std::runtime_error(std::string("stub ") + name + " does not win on PATH");
            }
        }
    }
    ~StubCommands() { restore(); }
    StubCommands(const StubCommands&) = delete;
    StubCommands& operator=(const StubCommands&) = delete;

    const std::filesystem::path& bin() const { return bin_; }
    std::string calls(const std::string& name) const { return read_file(bin_ / (name + ".calls")); }
    void set_exit(const std::string& name, int code) const {
        write_file(bin_ / (name + ".exit"), std::to_string(code));
    }
    void set_sleep(const std::string& name, const std::string& seconds) const {
        write_file(bin_ / (name + ".sleep"), seconds);
    }
    void set_linger(const std::string& name, const std::string& seconds) const {
        write_file(bin_ / (name + ".linger"), seconds);
    }

  private:
    void restore() { setenv("PATH", old_path_.c_str(), 1); }

    std::filesystem::path bin_;
    std::string old_path_;
};

}  // namespace skein_test
