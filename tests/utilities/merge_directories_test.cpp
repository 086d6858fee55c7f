// Joining path pieces: pure string work with at most one added "/".
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "utilities/file_utilities.h"

namespace {

using tarn::utilities::merge_directories;
using testing::StrEq;
using testing::ThrowsMessage;

TEST(MergeDirectories, JoinsWithOneSeparator) {
    const struct {
        std::vector<std::string> pieces;
        const char* merged;
    } rows[] = {
        {{"a", "b"}, "a/b"},
        {{"a/", "b"}, "a/b"},
        {{"a", "/b"}, "a//b"},
        {{"a/", "/b"}, "a//b"},
        {{"a\\", "b"}, "a\\b"},
        {{"/", "x"}, "/x"},
        {{"a", "/"}, "a//"},
        {{"a", "b/", "c"}, "a/b/c"},
        {{"a", "b", "c", "d"}, "a/b/c/d"},
        {{"a", "b", "c", "d", "e"}, "a/b/c/d/e"},
        {{"a/", "./b\\", "../c/"}, "a/./b\\../c/"},
    };
    for (const auto& row : rows) {
        const auto& p = row.pieces;
        std::string merged;
        switch (p.size()) {
            case 2:
                merged = merge_directories(p[0], p[1]);
                break;
            case 3:
                merged = merge_directories(p[0], p[1], p[2]);
                break;
            case 4:
                merged = merge_directories(p[0], p[1], p[2], p[3]);
                break;
            default:
                merged = merge_directories(p[0], p[1], p[2], p[3], p[4]);
                break;
        }
        EXPECT_EQ(merged, row.merged);
        std::vector<std::string> rest(p.begin() + 1, p.end());
        const std::vector<std::string> before = rest;
        EXPECT_EQ(merge_directories(p[0], rest), row.merged);
        EXPECT_EQ(rest, before) << "the list is not changed";
    }
}

TEST(MergeDirectories, EmptyListReturnsFirstPieceEvenWhenEmpty) {
    std::vector<std::string> none;
    EXPECT_EQ(merge_directories("a", none), "a");
    EXPECT_EQ(merge_directories("", none), "");
}

TEST(MergeDirectories, EmptyPieceThrowsWherever) {
    std::vector<std::string> with_b{"b"};
    std::vector<std::string> with_empty{"b", ""};
    const std::function<void()> calls[] = {
        [] { merge_directories("a", ""); },
        [] { merge_directories("", "b"); },
        [] { merge_directories("a", "", "c"); },
        [] { merge_directories("a", "b", "c", ""); },
        [] { merge_directories("", "b", "c", "d", "e"); },
        [&] { merge_directories("", with_b); },
        [&] { merge_directories("a", with_empty); },
    };
    for (const auto& call : calls) {
        EXPECT_THAT(call, ThrowsMessage<std::runtime_error>(StrEq("Input argument is empty")));
    }
}

}  // namespace
