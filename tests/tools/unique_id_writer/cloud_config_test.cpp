// Finding and appending the key line in the cloud configuration file.
#include "tools/unique_id_writer/cloud_config.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "tests/tools/unique_id_writer/sandbox.h"

namespace {

using skein_test::read_file;
using skein_test::write_file;
using unique_id_test::kKey;

const unsigned char kId[UNIQUE_ID_SIZE] = {0x00, 0x06, 0x0A, 0x24, 0x18, 0x20, 0x22, 0x40,
                                           0x01, 0x23, 0xAB, 0xCD, 0xEF, 0x45, 0x67, 0x89};
const std::string kKeyLine = kKey + "00060A24-18202240-0123ABCD-EF456789\n";

class CloudConfig : public testing::Test {
  protected:
    unique_id_test::Sandbox sandbox_;
};

TEST_F(CloudConfig, MissingFileHoldsNoKey) { EXPECT_EQ(is_uuid_present_in_file(), 0); }

TEST_F(CloudConfig, KeyIsFoundAnywhereInAnyLine) {
    const struct {
        std::string content;
        int present;
    } cases[] = {
        {"", 0},
        {"A=1\nB=2\n", 0},
        {"TARN_SKEIN_UNIQUE_ID\n=X\n", 0},
        {"A=1\n" + kKey + "X\n", 1},
        {"# " + kKey + "OLD\n", 1},
        {"A=1\n" + kKey + "X", 1},
        {std::string(300, 'x') + kKey + "X\n", 1},
        {std::string(245, 'x') + kKey + "X\n", 1},  // across the old 255-character pieces
        {std::string("a\0b ", 4) + kKey + "X\n", 1},
    };
    for (const auto& c : cases) {
        write_file(sandbox_.config(), c.content);
        EXPECT_EQ(is_uuid_present_in_file(), c.present) << c.content;
    }
}

TEST_F(CloudConfig, KeyLineStartsOnALineOfItsOwn) {
    const struct {
        std::string content;
        std::string before_key;
    } cases[] = {
        {"", ""},
        {"A=1\n", "A=1\n"},
        {"A=1\nB=2", "A=1\nB=2\n"},
        {"\n", "\n"},
    };
    for (const auto& c : cases) {
        write_file(sandbox_.config(), c.content);
        EXPECT_EQ(format_and_write_to_file(kId), 0);
        EXPECT_EQ(read_file(sandbox_.config()), c.before_key + kKeyLine) << c.content;
    }
}

TEST_F(CloudConfig, FullDeviceIsReported) {
    std::filesystem::create_symlink("/dev/full", sandbox_.config());
    testing::internal::CaptureStderr();
    EXPECT_EQ(format_and_write_to_file(kId), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Failed to write file ../tarn_cnf/skein_cloud_config.cnf : " +
                  std::string(strerror(ENOSPC)) + "\n");
}

}  // namespace
