// The pure pieces of request handling: request line, version extraction,
// shell quoting, and routing of raw request texts.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>

#include "src/commands.h"
#include "tests/common/stub_commands.h"
#include "tests/common/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using skein_test::read_file;
using skein_test::write_file;

TEST(RequestLine, EndsAtTheFirstCrLf) {
    EXPECT_EQ(extractRequestLine("GET /status HTTP/1.1\r\nHost: x\r\n\r\n"),
              "GET /status HTTP/1.1");
    EXPECT_EQ(extractRequestLine("GET /status\nHost: x\n"), "");
    EXPECT_EQ(extractRequestLine("GET /a\rb\r\n"), "GET /a\rb");
    EXPECT_EQ(extractRequestLine("\r\n"), "");
    EXPECT_EQ(extractRequestLine(""), "");
}

TEST(VersionExtraction, TakesTheTextAfterTheFirstKey) {
    struct Case {
        const char* request;
        std::optional<std::string> version;
    } cases[] = {
        {"GET /update?version=1.2.3 HTTP/1.1\r\n", "1.2.3"},
        {"GET /update?version=2.0&force=1 HTTP/1.1\r\n", "2.0&force=1"},
        {"GET /update HTTP/1.1\r\nX-Info: version=3\r\n\r\n", "3"},
        {"GET /update?version= HTTP/1.1\r\n", ""},
        {"GET /update?version=4\r\nHost: a b\r\n", "4"},
        {"GET /update?version=5", "5"},
        {"GET /update?version=6\rX", "6"},
        {"GET /update?version=a&version=b HTTP/1.1", "a&version=b"},
        {"GET /update?ver=1 HTTP/1.1\r\n", std::nullopt},
        {"GET /update HTTP/1.1\r\n\r\n", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(extract_version(c.request), c.version) << c.request;
    }
}

TEST(UpdateCommand, PlainVersionsAreUnquotedAndOthersQuoted) {
    EXPECT_EQ(update_command("1.2.3"), "sh Update_Skein_Edge.sh 1.2.3");
    EXPECT_EQ(update_command("a-Z_0.9+b:c@d%e=f,g/h"),
              "sh Update_Skein_Edge.sh a-Z_0.9+b:c@d%e=f,g/h");
    EXPECT_EQ(update_command(""), "sh Update_Skein_Edge.sh ");
    EXPECT_EQ(update_command("2.0&force=1"), "sh Update_Skein_Edge.sh '2.0&force=1'");
    EXPECT_EQ(update_command("it's"), "sh Update_Skein_Edge.sh 'it'\\''s'");
    EXPECT_EQ(update_command("caf\xc3\xa9"), "sh Update_Skein_Edge.sh 'caf\xc3\xa9'");
}

// Every byte but NUL, through a real shell: the argument arrives unchanged
// and nothing else runs.
TEST(ShellQuoting, AnyTextReachesTheShellAsOneExactArgument) {
    skein_test::TempDir dir;
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> byte(1, 255);
    std::uniform_int_distribution<int> length(0, 40);
    const std::string tricky = "'\"$`\\;&|<>(){}[]*?~#! \t\n\r";
    for (int round = 0; round < 150; ++round) {
        std::string text;
        int size = length(random);
        for (int i = 0; i < size; ++i) {
            // Favour the characters that mean something to the shell.
            text += round % 2 == 0 ? static_cast<char>(byte(random))
                                   : tricky[static_cast<std::size_t>(byte(random)) % tricky.size()];
        }
        text += ";touch canary";
        const std::string command =
            "printf '%s' " + quote_for_shell(text) + " > arg; echo $# > /dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        ASSERT_EQ(read_file("arg"), text) << command;
        ASSERT_FALSE(fs::exists("canary")) << command;
    }
}

// ---- Routing of raw request texts (the read-only routes start no worker) ----

class Routing : public testing::Test {
  protected:
    void SetUp() override { fs::create_directory("installation_details"); }
    std::string route(const std::string& request) {
        char reply[kBufferSize] = {0};
        testing::internal::CaptureStderr();
        route_request(request.c_str(), extractRequestLine(request), reply);
        testing::internal::GetCapturedStderr();
        return reply;
    }
    static std::string ok(const std::string& body) {
        return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n" + body;
    }
    skein_test::TempDir dir_;
};

TEST_F(Routing, PrefixesChooseTheRoute) {
    write_file(kStatusFilePath, "Update complete");
    write_file(kVersionFilePath, "3\n");
    write_file(kPreviousVersionFilePath, "2\n");
    write_file(kPreviousVersionTempFilePath, "1\n");
    EXPECT_EQ(route("GET /status HTTP/1.1\r\n"), ok("Update complete"));
    EXPECT_EQ(route("GET /statusXYZ"), ok("Update complete"));
    EXPECT_EQ(route("GET /version HTTP/1.1\r\n"), ok("Current version: 3\n"));
    EXPECT_EQ(route("GET /versions"), ok("Current version: 3\n"));
    EXPECT_EQ(route("GET /previousversion HTTP/1.1\r\n"), ok("Previous version: 2\n"));
    EXPECT_EQ(route("GET /previousversiontemp HTTP/1.1\r\n"), ok("Previous version temp: 1\n"));
    EXPECT_EQ(route("GET /update?ver=1 HTTP/1.1\r\n"),
              "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\n\r\n"
              "Missing version parameter");
    for (const char* invalid : {"GET /Status", "GET/status", "PUT /status", " GET /status", ""}) {
        EXPECT_EQ(route(invalid),
                  "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\n\r\nInvalid API request")
            << invalid;
    }
}

TEST_F(Routing, LongBodiesAreCutToTheReplyBuffer) {
    write_file(kVersionFilePath, std::string(3000, '9'));
    const std::string reply = route("GET /version");
    EXPECT_EQ(reply.size(), kBufferSize - 1);
    EXPECT_EQ(reply.rfind(ok("Current version: 9999"), 0), 0u);
}

TEST_F(Routing, HandleRequestAnswersOnTheConnection) {
    write_file(kStatusFilePath, "Reboot initiated");
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    const std::string request = "GET /status HTTP/1.1\r\n\r\n";
    ASSERT_EQ(write(ends[0], request.data(), request.size()), static_cast<ssize_t>(request.size()));
    testing::internal::CaptureStderr();
    handle_request(ends[1]);
    testing::internal::GetCapturedStderr();
    char reply[512] = {0};
    ssize_t n = read(ends[0], reply, sizeof reply - 1);
    close(ends[0]);
    EXPECT_EQ(std::string(reply, static_cast<std::size_t>(n > 0 ? n : 0)), ok("Reboot initiated"));
}

}  // namespace
