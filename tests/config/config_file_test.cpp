// ConfigFile: what each kind of line stores, lookups and their exceptions,
// and when and how the file is written back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "config/ConfigFile.h"
#include "tests/common/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using skein_test::read_file;
using skein_test::TempDir;
using skein_test::write_file;
using testing::StrEq;
using testing::ThrowsMessage;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

const char kSaving[] = "Saving configuration file to ";
const char kCouldNotSave[] =
    "!!! Could not save [check the directory seperator] configuration file to ";

std::string text(const Chameleon& value) { return value; }

class ConfigFileTest : public testing::Test {
  protected:
    // Reads `content` from a file and returns the stored value of
    // section/entry, or "<section>"/"<entry>" for the exception raised.
    static std::string lookup(const ConfigFile& config, const std::string& section,
                              const std::string& entry) {
        try {
            return text(config.Value(section, entry));
        } catch (const ConfigSectionException&) {
            return "<section>";
        } catch (const ConfigEntryException&) {
            return "<entry>";
        }
    }

    TempDir dir_;
};

TEST_F(ConfigFileTest, WhatEachLineStores) {
    write_file("t.cnf",
               "top = before any header\n"
               "[ Spaced ]\n"
               "  # x = 1\n"
               "key = a = b\n"
               "=5\n"
               "flag\n"
               ";comment = 1\n"
               "#comment = 2\n"
               "[Open\n"
               "open = yes\n"
               "[Closed] trailing = text\n"
               "closed = \t yes \t\n"
               "[Empty header]\n"
               "[Empty entry]\n"
               "name =\n"
               "[Last]\n"
               "no line feed = at end");
    CaptureStdout();
    {
        ConfigFile config("t.cnf");
        const struct {
            const char* section;
            const char* entry;
            const char* stored;
        } rows[] = {
            {"", "top", "before any header"},
            {"Spaced", "# x", "1"},
            {"Spaced", "key", "a = b"},
            {"Spaced", "", "5"},
            {"Spaced", "flag", "flag"},
            {"Spaced", ";comment", "<entry>"},
            {"Spaced", "#comment", "<entry>"},
            {"Open", "open", "yes"},
            {"Closed", "closed", "yes"},
            {"Closed", "trailing", "<entry>"},
            {"Empty header", "anything", "<section>"},
            {"Empty entry", "name", ""},
            {"Last", "no line feed", "at end"},
            {"Missing", "top", "<section>"},
        };
        for (const auto& row : rows) {
            EXPECT_EQ(lookup(config, row.section, row.entry), row.stored)
                << "[" << row.section << "] " << row.entry;
        }
    }
    EXPECT_EQ(GetCapturedStdout(), "") << "a file read whole and never extended is not saved";
}

TEST_F(ConfigFileTest, FirstOfRepeatedEntriesWinsAcrossHeaders) {
    write_file("t.cnf", "[s]\nk = first\nk = second\n[other]\nx = 1\n[s]\nk = third\n");
    ConfigFile config("t.cnf");
    EXPECT_EQ(text(config.Value("s", "k")), "first");
    EXPECT_EQ(text(config.Value("s", "k", "default")), "first");
}

TEST_F(ConfigFileTest, CarriageReturnLineEnds) {
    write_file("t.cnf", "[s]\r\nk = v\r\n\r\n \t\n");
    CaptureStdout();
    {
        ConfigFile config("t.cnf");
        EXPECT_EQ(text(config.Value("s", "k")), "v");
        // A blank line of such a file is an entry with empty name and value.
        EXPECT_EQ(text(config.Value("s", "")), "");
        config.Value("s", "added", 1.0);
    }
    GetCapturedStdout();
    EXPECT_EQ(read_file("t.cnf"), "[s]\n\n = \nadded = 1\nk = v\n\n");
}

TEST_F(ConfigFileTest, ExceptionsAndTheirTexts) {
    write_file("t.cnf", "[s]\nk = v\n");
    const ConfigFile config("t.cnf");
    EXPECT_THAT([&] { config.Value("absent", "k"); },
                ThrowsMessage<ConfigSectionException>(StrEq("section does not exist")));
    EXPECT_THAT([&] { config.Value("s", "absent"); },
                ThrowsMessage<ConfigEntryException>(StrEq("entry does not exist")));
    const std::exception& as_base = ConfigEntryException();
    EXPECT_STREQ(as_base.what(), "entry does not exist");
}

TEST_F(ConfigFileTest, FileHoldingEveryEntryIsLeftUntouched) {
    const std::string original = "; kept comment\n[s]\nb=2\na   =   1\n";
    write_file("t.cnf", original);
    CaptureStdout();
    {
        ConfigFile config("t.cnf");
        EXPECT_EQ(static_cast<double>(config.Value("s", "a", 9.0)), 1.0);
        EXPECT_EQ(text(config.Value("s", "b", "9")), "2");
    }
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(read_file("t.cnf"), original);
}

TEST_F(ConfigFileTest, OneAddedDefaultRewritesTheWholeFileSorted) {
    write_file("t.cnf",
               "; dropped comment\n"
               "lower = 1\n"
               "[b]\n"
               "z = last\n"
               "a = first\n"
               "[B]\n"
               "x = upper case sorts first\n"
               "[empty]\n");
    CaptureStdout();
    {
        ConfigFile config("t.cnf");
        const Chameleon& added = config.Value("b", "m", 0.0);
        config.Value("new", "text", "as given ");
        EXPECT_EQ(text(added), "0") << "references survive later insertions";
    }
    EXPECT_EQ(GetCapturedStdout(), std::string(kSaving) + "t.cnf\n");
    EXPECT_EQ(read_file("t.cnf"),
              "[]\n\nlower = 1\n\n"
              "[B]\n\nx = upper case sorts first\n\n"
              "[b]\n\na = first\nm = 0\nz = last\n\n"
              "[new]\n\ntext = as given \n\n");
}

TEST_F(ConfigFileTest, EmptySectionNameReadsBackFromItsHeader) {
    {
        CaptureStdout();
        ConfigFile config("t.cnf");
        config.Value("", "k", 2.5);
    }
    GetCapturedStdout();
    ASSERT_EQ(read_file("t.cnf"), "[]\n\nk = 2.5\n\n");
    const ConfigFile again("t.cnf");
    EXPECT_EQ(text(again.Value("", "k")), "2.5");
}

TEST_F(ConfigFileTest, MissingFileIsCreatedWithItsDirectory) {
    CaptureStdout();
    {
        ConfigFile config("sub/dir/log.cnf");
        EXPECT_EQ(text(config.Value("log", "level", 0.0)), "0");
    }
    EXPECT_EQ(GetCapturedStdout(), std::string(kSaving) + "sub/dir/log.cnf\n");
    EXPECT_EQ(read_file("sub/dir/log.cnf"), "[log]\n\nlevel = 0\n\n");
}

TEST_F(ConfigFileTest, MissingFileWithoutLookupsBecomesEmpty) {
    CaptureStdout();
    { ConfigFile config("empty.cnf"); }
    GetCapturedStdout();
    ASSERT_TRUE(fs::exists("empty.cnf"));
    EXPECT_EQ(fs::file_size("empty.cnf"), 0u);
}

TEST_F(ConfigFileTest, PlainLookupsChangeNothing) {
    CaptureStdout();
    {
        write_file("t.cnf", "[s]\nk = v\n");
        ConfigFile config("t.cnf");
        EXPECT_EQ(lookup(config, "s", "missing"), "<entry>");
        EXPECT_EQ(lookup(config, "missing", "k"), "<section>");
        EXPECT_EQ(lookup(config, "missing", "k"), "<section>");
    }
    EXPECT_EQ(GetCapturedStdout(), "");
}

// Saving never throws out of the destructor; every failure ends in the one
// could-not-save line after the saving line.
TEST_F(ConfigFileTest, UnsavableFilesAreReportedNotThrown) {
    write_file("plain", "a regular file");
    const std::string too_long(300, 'n');
    const struct {
        std::string path;
        std::string directory_report;
    } rows[] = {
        {"plain/sub/t.cnf",
         "Unable to create directories [plain/sub], Error Code[20], Error Message[Not a "
         "directory], Error category[generic] \n"},
        {"", ""},
        {too_long + "/t.cnf", ""},  // the directory's status cannot be read
        {"is_a_directory", ""},
    };
    fs::create_directory("is_a_directory");
    for (const auto& row : rows) {
        CaptureStdout();
        EXPECT_NO_THROW({
            ConfigFile config(row.path);
            config.Value("s", "k", 1.0);
        });
        EXPECT_EQ(GetCapturedStdout(), kSaving + row.path + "\n" + row.directory_report +
                                           kCouldNotSave + row.path + "\n")
            << row.path;
    }
    EXPECT_EQ(read_file("plain"), "a regular file");
}

// The file opens, but no byte of it can be written: the soft file-size limit
// is zero while the object saves. Standard output goes to a pipe meanwhile,
// since gtest's capture file would be refused the bytes as well.
TEST_F(ConfigFileTest, FailedWriteIsReportedAsNotSaved) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    std::fflush(stdout);
    const int saved_stdout = dup(STDOUT_FILENO);
    dup2(out[1], STDOUT_FILENO);
    close(out[1]);
    const auto previous_handler = signal(SIGXFSZ, SIG_IGN);
    rlimit previous_limit{};
    getrlimit(RLIMIT_FSIZE, &previous_limit);
    const rlimit no_bytes{0, previous_limit.rlim_max};
    setrlimit(RLIMIT_FSIZE, &no_bytes);
    {
        ConfigFile config("t.cnf");
        config.Value("s", "k", 1.0);
    }
    std::fflush(stdout);
    setrlimit(RLIMIT_FSIZE, &previous_limit);
    signal(SIGXFSZ, previous_handler);
    dup2(saved_stdout, STDOUT_FILENO);
    close(saved_stdout);

    std::string printed(4096, '\0');
    const ssize_t length = read(out[0], printed.data(), printed.size());
    close(out[0]);
    printed.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    EXPECT_EQ(printed, std::string(kSaving) + "t.cnf\n" + kCouldNotSave + "t.cnf\n");
}

TEST(Trim, RemovesOnlyOuterDelimiters) {
    const struct {
        const char* source;
        const char* delims;
        const char* trimmed;
    } rows[] = {
        {" \t a b \r\n", " \t\r\n", "a b"}, {" \t\r\n", " \t\r\n", ""}, {"", " ", ""},
        {"  keep  ", "", "  keep  "},       {"xxaxx", "x", "a"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Trim(row.source, row.delims), row.trimmed) << '"' << row.source << '"';
    }
}

}  // namespace
