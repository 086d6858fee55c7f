// Directory and file operations on real paths in a temporary directory.
#include "utilities/file_utilities.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

#include "tests/common/temp_dir.h"

namespace {

namespace fs = std::filesystem;
namespace fu = tarn::utilities;
using skein_test::TempDir;
using skein_test::write_file;
using testing::StrEq;
using testing::ThrowsMessage;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class FileUtilities : public testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories("dir/inner");
        write_file("file", "content");
        fs::create_directory_symlink("dir", "link_to_dir");
        fs::create_symlink("file", "link_to_file");
    }
    TempDir dir_;
};

TEST_F(FileUtilities, EmptyPathIsRefusedBeforeAnythingHappens) {
    const std::function<void()> calls[] = {
        [] { fu::is_directory_exists(""); },
        [] { fu::is_regular_file_exists(""); },
        [] { fu::create_directories(""); },
        [] { fu::create_directories_from_file_path(""); },
        [] { fu::delete_directory(""); },
        [] { fu::delete_file(""); },
        [] { fu::end_with_directory_seperator(""); },
    };
    CaptureStdout();
    for (const auto& call : calls) {
        EXPECT_THAT(call, ThrowsMessage<std::runtime_error>(StrEq("Input argument is empty")));
    }
    EXPECT_EQ(GetCapturedStdout(), "");
}

TEST_F(FileUtilities, ExistenceTestsFollowLinksAndTellKindsApart) {
    const struct {
        const char* path;
        bool directory;
        bool regular_file;
    } rows[] = {
        {"dir", true, false},
        {"dir/inner/", true, false},
        {"file", false, true},
        {"link_to_dir", true, false},
        {"link_to_file", false, true},
        {"missing", false, false},
        {"file/under_a_file", false, false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(fu::is_directory_exists(row.path), row.directory) << row.path;
        EXPECT_EQ(fu::is_regular_file_exists(row.path), row.regular_file) << row.path;
    }
}

TEST_F(FileUtilities, UnreadableStatusIsThrown) {
    const std::string too_long(300, 'n');
    EXPECT_THROW(fu::is_directory_exists(too_long), fs::filesystem_error);
    EXPECT_THROW(fu::create_directories(too_long), fs::filesystem_error);
}

TEST_F(FileUtilities, CreateDirectories) {
    CaptureStdout();
    EXPECT_TRUE(fu::create_directories("dir"));
    EXPECT_TRUE(fu::create_directories("a/b/c"));
    EXPECT_TRUE(fu::create_directories("trailing/"));
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_TRUE(fs::is_directory("a/b/c"));
    EXPECT_TRUE(fs::is_directory("trailing"));
}

TEST_F(FileUtilities, FailedCreationPrintsOneLine) {
    for (const char* path : {"file", "file/sub", "file/sub/deeper"}) {
        CaptureStdout();
        EXPECT_FALSE(fu::create_directories(path));
        EXPECT_EQ(GetCapturedStdout(), std::string("Unable to create directories [") + path +
                                           "], Error Code[20], Error Message[Not a directory], "
                                           "Error category[generic] \n");
    }
    EXPECT_TRUE(fs::is_regular_file("file"));
}

TEST_F(FileUtilities, CreateDirectoriesFromFilePath) {
    const struct {
        const char* path;
        const char* result;
        const char* created;
    } rows[] = {
        {"logs/a/b.cnf", "logs/a", "logs/a"},
        {"b.cnf", "", nullptr},
        {"/b.cnf", "", nullptr},
        {"slash/a/", "slash/a", "slash/a"},
        {"back\\slash\\b.cnf", "", nullptr},
        {"dir/existing.cnf", "dir", "dir"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(fu::create_directories_from_file_path(row.path), row.result) << row.path;
        if (row.created != nullptr) {
            EXPECT_TRUE(fs::is_directory(row.created)) << row.path;
        }
    }
    EXPECT_FALSE(fs::exists("back"));

    CaptureStdout();
    EXPECT_EQ(fu::create_directories_from_file_path("file/sub/x.cnf"), "");
    EXPECT_THAT(GetCapturedStdout(),
                testing::StartsWith("Unable to create directories [file/sub]"));
}

TEST_F(FileUtilities, DeleteDirectory) {
    EXPECT_TRUE(fu::delete_directory("missing"));
    EXPECT_TRUE(fu::delete_directory("file")) << "not a directory: nothing to do";
    EXPECT_TRUE(fs::exists("file"));
    EXPECT_TRUE(fu::delete_directory("dir"));
    EXPECT_FALSE(fs::exists("dir"));
}

TEST_F(FileUtilities, DeleteFile) {
    EXPECT_FALSE(fu::delete_file("missing"));
    EXPECT_FALSE(fu::delete_file("dir"));
    EXPECT_TRUE(fs::is_directory("dir"));
    EXPECT_TRUE(fu::delete_file("file"));
    EXPECT_FALSE(fs::exists("file"));
}

TEST(DirectorySeperator, IsOneSlash) {
    EXPECT_EQ(fu::get_filesystem_directory_seperator(), "/");
    const struct {
        const char* path;
        const char* result;
    } rows[] = {{"a/", "a/"}, {"a\\", "a\\"}, {"a", "a/"}, {"/", "/"}, {"a/b", "a/b/"}};
    for (const auto& row : rows) {
        EXPECT_EQ(fu::end_with_directory_seperator(row.path), row.result) << row.path;
    }
}

}  // namespace
