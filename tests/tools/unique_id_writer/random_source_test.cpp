// Random bytes from getrandom and from a device.
#include "tools/unique_id_writer/random_source.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "tests/common/temp_dir.h"

namespace {

TEST(RandomSource, FillsDifferentBytesEachTime) {
    unsigned char first[32] = {};
    unsigned char second[32] = {};
    ASSERT_EQ(fill_random(first, sizeof first), 0);
    ASSERT_EQ(fill_random(second, sizeof second), 0);
    EXPECT_NE(std::memcmp(first, second, sizeof first), 0);
}

TEST(RandomSource, DeviceReadsFailWithTheirError) {
    skein_test::TempDir dir;
    skein_test::write_file("empty", "");
    skein_test::write_file("short", "abc");
    const struct {
        const char* path;
        int result;
        int error;
    } cases[] = {
        {"/dev/zero", 0, 0}, {"missing", -1, ENOENT}, {"empty", -1, EIO},
        {"short", -1, EIO},  {".", -1, EISDIR},
    };
    for (const auto& c : cases) {
        unsigned char buf[8];
        std::memset(buf, 0xAB, sizeof buf);
        errno = 0;
        EXPECT_EQ(fill_random_from_device(c.path, buf, sizeof buf), c.result) << c.path;
        if (c.result == 0) {
            EXPECT_EQ(std::string(buf, buf + sizeof buf), std::string(sizeof buf, '\0'));
        } else {
            EXPECT_EQ(errno, c.error) << c.path;
        }
    }
}

}  // namespace
