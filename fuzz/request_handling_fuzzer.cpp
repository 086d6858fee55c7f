// libFuzzer harness for request handling: raw request bytes go through
// handle_request on one end of a socketpair, as an accepted connection's
// would, inside a throw-away box directory whose update script is a stub
// and whose `docker` and `reboot` are stubs first on PATH.
//
// Input: the first byte lays out the box before the request (bits 0-3:
// which of status, version, previous and previous temp files exist; bits
// 4-5: which set of contents they hold), so each input runs from a known
// state; the remaining bytes are the request, sent as they are.
//
// After every input, once the workers it started have ended:
// - the reply is exactly the one the request and the box call for, starts
//   "HTTP/1.1 " and is at most 2047 bytes;
// - each file holds its old content or the complete new value;
// - the update script got the version as exactly one argument (none when
//   empty), byte for byte;
// - no file appeared that nothing should have made, as a command smuggled
//   in through a version would make one.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "logging/logging.h"
#include "src/commands.h"
#include "tests/common/in_process_connection.h"
#include "tests/common/process_stats.h"
#include "tests/common/stub_commands.h"
#include "tests/common/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using skein_test::read_file;
using skein_test::write_file;

// ---- The box ----

// Records its arguments where the harness looks for them, and succeeds.
constexpr const char kUpdateScriptStub[] = "printf '%s\\n%s' \"$#\" \"$*\" > update.args\n";
constexpr const char kArgsFile[] = "update.args";

// A worker that has not ended by then is a hang, reported as a finding.
constexpr std::chrono::milliseconds kWorkerPatience = std::chrono::seconds(20);

enum BoxFile { kStatus, kVersion, kPrevious, kPreviousTemp, kBoxFileCount };

constexpr const char* kPaths[kBoxFileCount] = {
    kStatusFilePath, kVersionFilePath, kPreviousVersionFilePath, kPreviousVersionTempFilePath};

using Files = std::optional<std::string>[kBoxFileCount];

// Stored values with line ends, shell characters, empty and over-long lines.
const std::string kContents[4][kBoxFileCount] = {
    {"Update complete", "1.0\n", "0.9\n", "0.8\n"},
    {"Reboot initiated\r\nextra", "2.0", "", "1.0;touch canary\n"},
    {"", "", "a\nb\n", ""},
    {"Update failed", std::string(3000, '7'), "$(touch canary)\n", "x'y\"z `w`\r\n"},
};

struct Box {
    skein_test::TempDir dir;  // entered: the box is the working directory
    skein_test::StubCommands stubs{dir.path() / "bin"};
    // Threads of the fuzzer itself, counted before the first input (the
    // fuzzer may start its own after initialisation).
    std::optional<std::size_t> idle_threads;
};

// Removed, with its directory, when the fuzzer exits.
std::unique_ptr<Box> box;

void fail(const std::string& what, const std::string& request) {
    std::fprintf(stderr, "\n*** request handling invariant broken: %s\n*** request: %s\n",
                 what.c_str(), request.c_str());
    std::abort();
}

void lay_out_box(std::uint8_t layout, Files& files) {
    const std::string* contents = kContents[(layout >> 4) & 3];
    for (int i = 0; i < kBoxFileCount; ++i) {
        if (layout & (1 << i)) {
            files[i] = contents[i];
            write_file(kPaths[i], contents[i]);
        } else {
            files[i].reset();
            fs::remove(kPaths[i]);
        }
    }
    fs::remove(kArgsFile);
}

std::optional<std::string> read_box_file(const char* path) {
    if (!fs::exists(path)) {
        return std::nullopt;
    }
    return read_file(path);
}

// Only the files the service and the stubs make; anything else was made by
// a command that should never have run.
void check_no_stray_files(const std::string& request) {
    static const std::set<std::string> kExpected = {
        "Update_Skein_Edge.sh",
        "bin",
        "installation_details",
        "logs",
        kArgsFile,
        "installation_details/status.info",
        "installation_details/version.info",
        "installation_details/previous_version.info",
        "installation_details/previous_version_temp.info",
        "installation_details/.status.info.spare",
        "bin/docker",
        "bin/reboot",
        "bin/docker.calls",
        "bin/reboot.calls"};
    for (const char* dir : {".", "installation_details", "bin"}) {
        for (const auto& entry : fs::directory_iterator(dir)) {
            std::string name = entry.path().lexically_normal().string();
            if (kExpected.count(name) == 0) {
                fail("stray file " + name, request);
            }
        }
    }
}

// ---- What the service should do (an independent model) ----

// fgets into a 2048-byte buffer: up to and including the first line feed.
std::string first_line(const std::string& text) {
    const std::string head = text.substr(0, kBufferSize - 1);
    const std::string::size_type end = head.find('\n');
    return end == std::string::npos ? head : head.substr(0, end + 1);
}

std::string cut_line(const std::string& text) { return text.substr(0, text.find_first_of("\r\n")); }

std::string http(const std::string& status_line, const std::string& body) {
    return ("HTTP/1.1 " + status_line + "\r\nContent-Type: text/plain\r\n\r\n" + body)
        .substr(0, kBufferSize - 1);
}

std::string bad_request(const std::string& body) { return http("400 Bad Request", body); }
std::string not_found(const std::string& body) { return http("404 Not Found", body); }
std::string ok(const std::string& body) { return http("200 OK", body); }

bool begins(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

struct Expected {
    Expected(std::string reply_text, std::optional<std::string> version = std::nullopt)
        : reply(std::move(reply_text)), script_version(std::move(version)) {}
    std::string reply;
    std::optional<std::string> script_version;  // what the update script gets
};

// Moves the model's files on as the request should, and says what reply
// and command it should give.
Expected expect(const std::string& request, bool read_failed, Files& files) {
    auto serve = [&](BoxFile file, const char* prefix, const char* missing) {
        return files[file] ? ok(prefix + first_line(*files[file])) : not_found(missing);
    };
    if (read_failed) {
        return {bad_request("Failed to read request")};
    }
    if (begins(request, "GET /update")) {
        std::string::size_type key = request.find("version=");
        if (key == std::string::npos) {
            return {bad_request("Missing version parameter")};
        }
        std::string version = request.substr(key + 8);
        version = cut_line(version.substr(0, version.find(' ')));
        if (files[kVersion]) {
            files[kPrevious] = files[kPreviousTemp] = first_line(*files[kVersion]);
        }
        files[kVersion] = version;
        files[kStatus] = "Update complete";
        return {ok("Update initiated with version " + version), version};
    }
    if (begins(request, "GET /rollback")) {
        if (!files[kPreviousTemp]) {
            return {not_found("Previous version temporary file not found")};
        }
        if (!files[kVersion]) {
            return {not_found("Current version not found")};
        }
        std::string target = cut_line(first_line(*files[kPreviousTemp]));
        files[kPreviousTemp] = first_line(*files[kVersion]);
        files[kVersion] = target;
        files[kStatus] = "Update complete";
        return {ok("Rollback initiated to version " + target), target};
    }
    if (begins(request, "GET /reboot")) {
        files[kStatus] = "Reboot initiated";
        return {ok("Reboot initiated")};
    }
    if (begins(request, "GET /status")) {
        return {
            ok(files[kStatus] ? cut_line(first_line(*files[kStatus])) : "Status file not found")};
    }
    if (begins(request, "GET /version")) {
        return {serve(kVersion, "Current version: ", "Version file not found")};
    }
    if (begins(request, "GET /previousversiontemp")) {
        return {serve(kPreviousTemp,
                      "Previous version temp: ", "Previous version temp file not found")};
    }
    if (begins(request, "GET /previousversion")) {
        return {serve(kPrevious, "Previous version: ", "Previous version file not found")};
    }
    return {bad_request("Invalid API request")};
}

void wait_for_workers(const std::string& request) {
    if (!skein_test::wait_for_thread_count(*box->idle_threads, kWorkerPatience)) {
        fail("a worker did not end", request);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    box = std::make_unique<Box>();
    write_file("Update_Skein_Edge.sh", kUpdateScriptStub);
    fs::create_directory("installation_details");
    // The log goes into the box, bounded; the levels are the service's own.
    setenv("WEFT_ROTATION_MAX_BYTES", "1048576", 1);
    setenv("WEFT_ROTATION_BACKUP_COUNT", "1", 1);
    weft::WeftLog::StartWeftLog("skein_edge_updater", weft::INFO, "./logs/", false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!box->idle_threads) {
        box->idle_threads = skein_test::thread_count();
    }
    const std::uint8_t layout = size > 0 ? data[0] : 0;
    const std::uint8_t* raw = size > 0 ? data + 1 : data;
    const std::size_t raw_size = size > 0 ? size - 1 : 0;
    // What the routes see: the one read, up to its first NUL.
    const std::string seen(
        reinterpret_cast<const char*>(raw),
        strnlen(reinterpret_cast<const char*>(raw), std::min(raw_size, kBufferSize - 1)));

    Files files;
    lay_out_box(layout, files);
    const Expected expected = expect(seen, raw_size == 0, files);
    const std::string reply =
        skein_test::exchange_in_process(std::string(reinterpret_cast<const char*>(raw), raw_size));
    wait_for_workers(seen);

    if (!begins(reply, "HTTP/1.1 ") || reply.size() > kBufferSize - 1) {
        fail("reply shape: " + reply, seen);
    }
    if (reply != expected.reply) {
        fail("reply\n" + reply + "\n*** expected\n" + expected.reply, seen);
    }
    for (int i = 0; i < kBoxFileCount; ++i) {
        if (read_box_file(kPaths[i]) != files[i]) {
            fail(std::string("content of ") + kPaths[i], seen);
        }
    }
    const std::optional<std::string> args = read_box_file(kArgsFile);
    if (expected.script_version) {
        const std::string& version = *expected.script_version;
        if (args != (version.empty() ? "0\n" : "1\n" + version)) {
            fail("update script arguments: " + args.value_or("(not run)"), seen);
        }
    } else if (args) {
        fail("update script ran", seen);
    }
    check_no_stray_files(seen);
    return 0;
}
