// The identifier's byte layout and text form, and fresh identifiers.
#include "tools/unique_id_writer/unique_id.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>

namespace {

std::string text_of(const unsigned char* id) {
    char text[UNIQUE_ID_TEXT_SIZE];
    unique_id_format(id, text);
    return text;
}

uint64_t now_micros() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_usec);
}

uint64_t time_of(const unsigned char* id) {
    uint64_t micros = 0;
    for (int i = 0; i < UNIQUE_ID_TIME_SIZE; ++i) {
        micros = (micros << 8) | id[i];
    }
    return micros;
}

TEST(UniqueId, TimeIsStoredBigEndianInFirstEightBytes) {
    const struct {
        uint64_t micros;
        const char* text;
    } cases[] = {
        {1700000000123456u, "00060A24-18202240-ABABABAB-ABABABAB"},
        {0u, "00000000-00000000-ABABABAB-ABABABAB"},
        {0x0102030405060708u, "01020304-05060708-ABABABAB-ABABABAB"},
        {UINT64_MAX, "FFFFFFFF-FFFFFFFF-ABABABAB-ABABABAB"},
    };
    for (const auto& c : cases) {
        unsigned char id[UNIQUE_ID_SIZE];
        std::memset(id, 0xAB, sizeof id);
        unique_id_set_time(id, c.micros);
        EXPECT_EQ(text_of(id), c.text) << c.micros;
    }
}

TEST(UniqueId, TextFormIsUpperCaseHexInGroupsOfEight) {
    const unsigned char id[UNIQUE_ID_SIZE] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                              0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    const std::string text = text_of(id);
    EXPECT_EQ(text, "00112233-44556677-8899AABB-CCDDEEFF");
    EXPECT_EQ(text.size(), 35u);
}

TEST(UniqueId, GeneratedIdCarriesNowAndDistinctRandomBytes) {
    std::set<std::string> random_parts;
    for (int i = 0; i < 1000; ++i) {
        unsigned char id[UNIQUE_ID_SIZE];
        const uint64_t before = now_micros();
        ASSERT_EQ(generate_16byte_id(id), 0);
        const uint64_t after = now_micros();
        EXPECT_GE(time_of(id), before);
        EXPECT_LE(time_of(id), after);
        random_parts.insert(text_of(id).substr(18));
    }
    // All within a second or so: a time-seeded generator would repeat itself here.
    EXPECT_EQ(random_parts.size(), 1000u);
}

}  // namespace
