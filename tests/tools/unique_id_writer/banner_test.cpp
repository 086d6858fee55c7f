// The serial-number banner, byte for byte.
#include "tools/unique_id_writer/banner.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "tests/tools/unique_id_writer/sandbox.h"

namespace {

TEST(Banner, FramesTheSerialNumberInBoldGreen) {
    const std::string text = "00060A24-18202240-0123ABCD-EF456789";
    char* data = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&data, &size);
    ASSERT_NE(out, nullptr);
    print_banner(out, text.c_str());
    std::fclose(out);
    const std::string banner(data, size);
    std::free(data);

    EXPECT_EQ(banner, unique_id_test::expected_banner(text));
    // Between the two escape sequences: five lines, each 66 characters wide.
    std::istringstream lines(banner.substr(7, banner.size() - 7 - 4));
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_EQ(line.size(), 66u) << line;
    }
    EXPECT_EQ(count, 5);
}

}  // namespace
