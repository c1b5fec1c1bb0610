// The folding CRC-32 against zlib's table-driven one: every length around
// the folding block sizes, every misalignment, inputs too large for the
// tables to hide a slip, and checksums continued over pieces.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <vector>

#include "src/bfs/crc32.h"

namespace {

std::vector<unsigned char> random_bytes(size_t n) {
    std::mt19937 gen(12345);
    std::vector<unsigned char> v(n);
    for (auto& b : v) b = static_cast<unsigned char>(gen());
    return v;
}

uint32_t zlib_crc(uint32_t crc, const unsigned char* p, size_t n) { return static_cast<uint32_t>(crc32_z(crc, p, n)); }

TEST(Crc32, MatchesZlibForEveryLengthAndAlignment) {
    const auto data = random_bytes((1 << 20) + 64);
    for (uint32_t start : {0u, 0xFFFFFFFFu, 0x12345678u}) {
        for (size_t offset = 0; offset < 16; offset++) {
            const unsigned char* p = data.data() + offset;
            std::vector<size_t> lengths = {4095, 65536 + 13, size_t(1) << 20};
            for (size_t n = 0; n <= 300; n++) lengths.push_back(n);
            for (size_t n : lengths)
                ASSERT_EQ(bfs_crc32(start, p, n), zlib_crc(start, p, n)) << "start " << start << " offset " << offset << " n " << n;
        }
    }
    // Inputs whose blocks cancel out or are all ones.
    for (unsigned char fill : {0x00, 0xFF, 0x5A}) {
        std::vector<unsigned char> same(4096 + 7, fill);
        EXPECT_EQ(bfs_crc32(0, same.data(), same.size()), zlib_crc(0, same.data(), same.size())) << int(fill);
    }
    EXPECT_EQ(bfs_crc32(0, "123456789", 9), 0xCBF43926u);
}

TEST(Crc32, ContinuesOverPieces) {
    const auto data = random_bytes(100000);
    const uint32_t whole = zlib_crc(0, data.data(), data.size());
    for (size_t cut : std::vector<size_t>{0, 1, 15, 63, 64, 65, 4097, 99999, 100000}) {
        uint32_t a = bfs_crc32(0, data.data(), cut);
        EXPECT_EQ(bfs_crc32(a, data.data() + cut, data.size() - cut), whole) << "cut " << cut;
    }
    uint32_t crc = 0;
    for (size_t at = 0, step = 1; at < data.size(); at += step, step = step * 3 % 997 + 1)
        crc = bfs_crc32(crc, data.data() + at, std::min(step, data.size() - at));
    EXPECT_EQ(crc, whole);
}

}  // namespace
