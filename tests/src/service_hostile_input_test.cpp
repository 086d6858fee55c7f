// The built service fed hostile input: random bytes, NUL bytes, requests of
// a megabyte, a 5000-character request line, bare line ends, and versions
// full of shell syntax. Every reply has a known shape, the service lives on,
// the update script gets each version exactly and no injected command runs.
// Short by default; SKEIN_LONG_TESTS=1 for the long form.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tests/common/reliability.h"
#include "tests/common/service_sandbox.h"

namespace {

namespace fs = std::filesystem;
using skein_test::exchange_outcome;
using skein_test::Outcome;
using skein_test::record_figure;
using skein_test::reply_text;
using skein_test::scaled;
using skein_test::ServiceSandbox;

const std::string kInvalid = reply_text("400 Bad Request", "Invalid API request");

// Every reply the service can give: exact texts, or a 200 prefix followed
// by a value.
bool is_known_reply(const std::string& reply) {
    static const std::vector<std::string> exact = [] {
        std::vector<std::string> texts = {
            reply_text("400 Bad Request", "Failed to read request"),
            kInvalid,
            reply_text("400 Bad Request", "Missing version parameter"),
            reply_text("404 Not Found", "Previous version temporary file not found"),
            reply_text("404 Not Found", "Current version not found"),
            reply_text("200 OK", "Reboot initiated"),
            reply_text("404 Not Found", "Version file not found"),
            reply_text("404 Not Found", "Previous version file not found"),
            reply_text("404 Not Found", "Previous version temp file not found"),
            reply_text("503 Service Unavailable", "Too many updates waiting"),
        };
        for (const char* status :
             {"Waiting for command", "Update in progress", "Update complete", "Update failed",
              "Reboot initiated", "Reboot failed", "Status file not found"}) {
            texts.push_back(reply_text("200 OK", status));
        }
        return texts;
    }();
    static const std::vector<std::string> with_value = {
        reply_text("200 OK", "Update initiated with version "),
        reply_text("200 OK", "Rollback initiated to version "),
        reply_text("200 OK", "Current version: "),
        reply_text("200 OK", "Previous version: "),
        reply_text("200 OK", "Previous version temp: "),
    };
    if (reply.size() > 2047 || reply.rfind("HTTP/1.1 ", 0) != 0) {
        return false;
    }
    for (const std::string& text : exact) {
        if (reply == text) {
            return true;
        }
    }
    for (const std::string& prefix : with_value) {
        if (reply.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

// Files whose name says an injected command made them, anywhere in the box.
std::vector<std::string> canaries(const fs::path& root) {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.path().filename().string().find("canary") != std::string::npos) {
            found.push_back(entry.path().string());
        }
    }
    return found;
}

class HostileInput : public testing::Test {
  protected:
    void SetUp() override {
        box_.write("installation_details/version.info", "1.0\n");
        box_.write("installation_details/previous_version_temp.info", "0.9\n");
        box_.start();
        ASSERT_TRUE(box_.wait_until_serving()) << box_.errors();
    }

    // Requests longer than the one read are cut; the service closes with
    // bytes unread, which resets the connection after the reply.
    Outcome send(const std::string& request) {
        skein_test::ClientOptions options;
        options.half_close = true;  // an empty request is answered at once
        Outcome outcome = exchange_outcome(request, options);
        if (request.size() > 2047 && outcome.error == ECONNRESET) {
            outcome.error = 0;
        }
        return outcome;
    }

    // The update workers have ended, so the script's records are complete.
    void wait_for_workers() { EXPECT_TRUE(skein_test::wait_for_service_workers(box_.pid())); }

    ServiceSandbox box_;
};

TEST_F(HostileInput, RandomBytesGetKnownReplies) {
    const long inputs = scaled(400, 20000);
    const std::string prefixes[] = {
        "", "GET /", "GET /status", "GET /update?version=", "GET /version", "GET /rollback"};
    std::mt19937 random(8888);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> length(0, 3000);
    for (long i = 0; i < inputs; ++i) {
        std::string request = prefixes[static_cast<std::size_t>(i) % 6];
        const int size = length(random);
        for (int k = 0; k < size; ++k) {
            request += static_cast<char>(byte(random));
        }
        const Outcome outcome = send(request);
        ASSERT_TRUE(outcome.clean()) << i << ": " << skein_test::errno_name(outcome.error);
        ASSERT_TRUE(is_known_reply(outcome.reply)) << i << ": " << outcome.reply;
    }
    wait_for_workers();
    EXPECT_TRUE(box_.running());
    EXPECT_EQ(canaries(box_.root()), std::vector<std::string>{});
    record_figure("random_inputs", inputs);
}

TEST_F(HostileInput, NulBytesLineEndsAndOversizedRequests) {
    const std::string long_line = std::string(5000, 'a');
    const std::string megabyte(1 << 20, 'x');
    struct Case {
        std::string request;
        std::string reply;
    } cases[] = {
        {std::string(1, '\0'), kInvalid},
        {std::string("\0GET /status HTTP/1.1\r\n\r\n", 25), kInvalid},
        {std::string("GET /status\0junk HTTP/1.1\r\n\r\n", 29),
         reply_text("200 OK", "Waiting for command")},
        {std::string(2047, '\0'), kInvalid},
        {std::string(4096, '\0'), kInvalid},
        {"\r\n", kInvalid},
        {"\r\n\r\n", kInvalid},
        {"\n", kInvalid},
        {"\r", kInvalid},
        {"\n\n\n\n", kInvalid},
        {"GET /status\r", reply_text("200 OK", "Waiting for command")},
        {"GET /status\n", reply_text("200 OK", "Waiting for command")},
        {"GET /status" + long_line + " HTTP/1.1\r\n\r\n",
         reply_text("200 OK", "Waiting for command")},
        {"GET /version?" + long_line + " HTTP/1.1\r\n\r\n",
         reply_text("200 OK", "Current version: 1.0\n")},
        {"GET " + long_line + " HTTP/1.1\r\n\r\n", kInvalid},
        {"GET /status HTTP/1.1\r\n" + megabyte, reply_text("200 OK", "Waiting for command")},
        {megabyte, kInvalid},
    };
    for (const Case& c : cases) {
        const Outcome outcome = send(c.request);
        EXPECT_TRUE(outcome.clean())
            << c.request.size() << " bytes: " << skein_test::errno_name(outcome.error);
        EXPECT_EQ(outcome.reply, c.reply) << c.request.substr(0, 40);
    }
    // A megabyte version: the one read takes what fits, the rest is dropped.
    const Outcome update = send("GET /update?version=" + megabyte);
    EXPECT_TRUE(update.clean()) << skein_test::errno_name(update.error);
    EXPECT_EQ(update.reply,
              reply_text("200 OK", "Update initiated with version " + megabyte).substr(0, 2047));
    EXPECT_EQ(box_.read("installation_details/version.info"), std::string(2047 - 20, 'x'));
    wait_for_workers();
    EXPECT_EQ(box_.read("update.arg1"), std::string(2047 - 20, 'x'));
    EXPECT_TRUE(box_.running());
    record_figure("edge_inputs", static_cast<long>(std::size(cases)) + 1);
}

// Versions built from the characters a shell acts on, each carrying a
// command that would leave a canary file if it ever ran.
TEST_F(HostileInput, ShellSyntaxInVersionsReachesTheScriptAsOneExactArgument) {
    const long versions = scaled(60, 1000);
    const std::string pieces[] = {"'",  "\"", "$",   "`",    "\\",      ";",  "&",  "|",
                                  "<",  ">",  "(",   ")",    "{",       "}",  "[",  "]",
                                  "*",  "?",  "~",   "#",    "!",       "\t", "$(", "${IFS}",
                                  "&&", "||", "%0a", "\x7f", "\xc3\xa9"};
    std::mt19937 random(2047);
    std::uniform_int_distribution<std::size_t> pick(0, std::size(pieces) - 1);
    std::uniform_int_distribution<int> count(1, 12);
    long checked = 0;
    for (long i = 0; i < versions; ++i) {
        std::string version;
        const int n = count(random);
        for (int k = 0; k < n; ++k) {
            version += pieces[pick(random)];
        }
        const std::string command = "touch${IFS}canary" + std::to_string(i);
        version += i % 3 == 0   ? "$(" + command + ")"
                   : i % 3 == 1 ? "`" + command + "`"
                                : ";" + command;

        fs::remove(box_.file("update.arg1"));
        fs::remove(box_.file("update.argc"));
        const Outcome outcome = send("GET /update?version=" + version + " HTTP/1.1\r\n\r\n");
        ASSERT_EQ(outcome.reply, reply_text("200 OK", "Update initiated with version " + version));
        wait_for_workers();
        ASSERT_EQ(box_.read("update.argc"), "1\n") << version;
        ASSERT_EQ(box_.read("update.arg1"), version);
        ASSERT_EQ(box_.read("installation_details/version.info"), version);
        ++checked;
    }
    // The rollback path hands a stored version to the shell as well.
    box_.write("installation_details/previous_version_temp.info", "$(touch canary_rollback)'\"\n");
    EXPECT_EQ(send("GET /rollback HTTP/1.1\r\n\r\n").reply,
              reply_text("200 OK", "Rollback initiated to version $(touch canary_rollback)'\""));
    wait_for_workers();
    EXPECT_EQ(box_.read("update.arg1"), "$(touch canary_rollback)'\"");
    EXPECT_EQ(canaries(box_.root()), std::vector<std::string>{});
    record_figure("hostile_versions", checked + 1);
}

}  // namespace
