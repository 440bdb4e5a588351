// Run lists, LZNT1, index positions and update sequences: the byte-level codecs of NTFS.
#include <gtest/gtest.h>

#include <vector>

#include "ntfs/index.h"
#include "ntfs/lznt1.h"
#include "ntfs/record.h"
#include "ntfs/runs.h"

namespace harrow {
namespace {

std::vector<DataRun> decodeAll(std::vector<std::uint8_t> bytes) {
    std::vector<DataRun> runs;
    std::int64_t lcn = 0;
    Bytes b(bytes);
    while (!b.empty() && b[0] != 0) {
        auto r = decodeRun(b, lcn);
        if (!r) break;
        runs.push_back({lcn, r->length, r->sparse});
        b = b.subspan(r->consumed);
    }
    return runs;
}

TEST(RunList, WorkedExamples) {
    auto one = decodeAll({0x21, 0x18, 0x34, 0x56, 0x00});
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].length, 24u);
    EXPECT_EQ(one[0].lcn, 22068);

    auto two = decodeAll({0x21, 0x30, 0x00, 0x10, 0x21, 0x10, 0x00, 0xFF, 0x00});
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].lcn, 4096);
    EXPECT_EQ(two[0].length, 48u);
    EXPECT_EQ(two[1].lcn, 3840);  // 0xFF00 is -256
    EXPECT_EQ(two[1].length, 16u);

    auto sparse = decodeAll({0x01, 0x07, 0x11, 0x02, 0x05});
    ASSERT_EQ(sparse.size(), 2u);
    EXPECT_TRUE(sparse[0].sparse);
    EXPECT_EQ(sparse[0].length, 7u);
    EXPECT_FALSE(sparse[1].sparse);
    EXPECT_EQ(sparse[1].lcn, 5);  // a sparse run does not move the running cluster
}

TEST(RunList, FieldWidthsAndSigns) {
    struct Case {
        std::vector<std::uint8_t> bytes;
        std::uint64_t length;
        std::int64_t lcn;
    } cases[] = {
        {{0x11, 0x80, 0x01}, 128, 1},                    // 1-byte length is unsigned
        {{0x12, 0x00, 0x80, 0x01}, 32768, 1},            // so is a 2-byte one: no negative runs
        {{0x13, 0x00, 0x00, 0x80, 0x01}, 8388608, 1},
        {{0x31, 0x01, 0xFF, 0xFF, 0x7F}, 1, 0x7FFFFF},   // 3-byte offset, positive
        {{0x31, 0x01, 0x00, 0x00, 0x80}, 1, -8388608},   // and sign-extended from 24 bits
        {{0x51, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01}, 1, 1ll << 32},  // past 2^32 clusters
        {{0x41, 0x01, 0xFF, 0xFF, 0xFF, 0x7F}, 1, 0x7FFFFFFF},
    };
    for (const auto& c : cases) {
        std::int64_t lcn = 0;
        auto r = decodeRun(c.bytes, lcn);
        ASSERT_TRUE(r) << int(c.bytes[0]);
        EXPECT_EQ(r->length, c.length) << int(c.bytes[0]);
        EXPECT_EQ(lcn, c.lcn) << int(c.bytes[0]);
        EXPECT_EQ(r->consumed, c.bytes.size());
    }
    // The running value is 64-bit: two runs 2^31 apart reach 2^32 and beyond.
    std::int64_t lcn = 0x7FFFFFFF;
    ASSERT_TRUE(decodeRun(std::vector<std::uint8_t>{0x41, 0x01, 0xFF, 0xFF, 0xFF, 0x7F}, lcn));
    EXPECT_EQ(lcn, 0xFFFFFFFEll);

    for (std::vector<std::uint8_t> bad : {std::vector<std::uint8_t>{0x00}, {0x09, 1, 1, 1, 1, 1, 1, 1, 1, 1}, {0x91, 1},
                                          {0x21, 0x05}, {0x11, 0x00, 0x05}, {}}) {
        std::int64_t l = 0;
        EXPECT_FALSE(decodeRun(bad, l)) << (bad.empty() ? -1 : int(bad[0]));
    }
}

TEST(Lznt1, LiteralsBackReferencesAndStoredChunks) {
    std::vector<std::uint8_t> out(4096, 0xEE);
    // Header B003: compressed, four data bytes: a tag of literals and "abc".
    EXPECT_EQ(lznt1Decompress(std::vector<std::uint8_t>{0x03, 0xB0, 0x00, 'a', 'b', 'c'}, out), 4096u);
    EXPECT_EQ(std::string(out.begin(), out.begin() + 4), std::string("abc\0", 4));

    // At p = 5 a reference has 12 length bits: distance 5, length 7 overlaps what it writes.
    std::vector<std::uint8_t> in = {0x00, 0xB0, 0x20, 'a', 'b', 'c', 'd', 'e', 0x04, 0x40};
    in[0] = static_cast<std::uint8_t>(in.size() - 3);
    ASSERT_EQ(lznt1Decompress(in, out), 4096u);
    EXPECT_EQ(std::string(out.begin(), out.begin() + 12), "abcdeabcdeab");

    // At p = 17 (p - 1 = 16) the split is 11 length bits and a 5-bit distance.
    std::string lit = "0123456789ABCDEFG";  // 17 literals: tags 0, 0, then 0x02 (token 1 of the third group)
    in = {0, 0xB0, 0x00};
    for (int i = 0; i < 8; ++i) in.push_back(static_cast<std::uint8_t>(lit[i]));
    in.push_back(0x00);
    for (int i = 8; i < 16; ++i) in.push_back(static_cast<std::uint8_t>(lit[i]));
    in.push_back(0x02);
    in.push_back(static_cast<std::uint8_t>(lit[16]));
    std::uint16_t v = static_cast<std::uint16_t>(((17 - 1) << 11) | (4 - 3));  // distance 17, length 4
    in.push_back(static_cast<std::uint8_t>(v));
    in.push_back(static_cast<std::uint8_t>(v >> 8));
    std::uint16_t h = static_cast<std::uint16_t>(0xB000 | (in.size() - 3));
    in[0] = static_cast<std::uint8_t>(h);
    in[1] = static_cast<std::uint8_t>(h >> 8);
    ASSERT_EQ(lznt1Decompress(in, out), 4096u);
    EXPECT_EQ(std::string(out.begin(), out.begin() + 21), lit + "0123");

    // A chunk stored as it is, then a compressed one: each stands for 4096 bytes.
    std::vector<std::uint8_t> two = {0xFF, 0x3F};
    for (int i = 0; i < 4096; ++i) two.push_back(static_cast<std::uint8_t>(i));
    for (int b : {0x02, 0xB0, 0x00, int{'x'}, int{'y'}}) two.push_back(static_cast<std::uint8_t>(b));
    std::vector<std::uint8_t> big(8192, 0xEE);
    ASSERT_EQ(lznt1Decompress(two, big), 8192u);
    EXPECT_EQ(big[4095], 0xFF);
    EXPECT_EQ(big[4096], 'x');
    EXPECT_EQ(big[4098], 0);

    // A zero header ends the unit; a reference before the chunk's start stops it.
    std::fill(big.begin(), big.end(), 0xEE);
    EXPECT_EQ(lznt1Decompress(std::vector<std::uint8_t>{0x00, 0x00, 0x03, 0xB0, 0, 'a', 'b', 'c'}, big), 0u);
    EXPECT_EQ(big[0], 0xEE);
    EXPECT_EQ(lznt1Decompress(std::vector<std::uint8_t>{0x02, 0xB0, 0x01, 0x00, 0x10}, big), 0u);

    // Output smaller than a chunk: decompression stops when it is full.
    std::vector<std::uint8_t> small(3);
    EXPECT_EQ(lznt1Decompress(std::vector<std::uint8_t>{0x05, 0xB0, 0x00, 'a', 'b', 'c', 'd', 'e'}, small), 3u);
    EXPECT_EQ(std::string(small.begin(), small.end()), "abc");
}

TEST(IndexPosition, PushAndPopThePrefixCodes) {
    struct Case {
        std::uint32_t index;
        IndexPosition pushed;
    } cases[] = {{0, 224}, {1, 226}, {6, 236}, {7, 897}, {22, 14 * 64 + (15 << 2) + 1}, {23, 3587}, {54, 14 * 256 + (31 << 3) + 3},
                 {55, 14343}, {118, 14 * 1024 + (63 << 4) + 7}};
    for (const auto& c : cases) {
        IndexPosition p = kIndexHere;
        ASSERT_TRUE(pushIndex(p, c.index));
        EXPECT_EQ(p, c.pushed) << c.index;
        auto i = popIndex(p);
        ASSERT_TRUE(i);
        EXPECT_EQ(*i, c.index);
        EXPECT_EQ(p, kIndexHere);
    }
    // Two levels: the root level pops first.
    IndexPosition p = kIndexHere;
    pushIndex(p, 30);
    pushIndex(p, 2);
    EXPECT_EQ(popIndex(p), 2u);
    EXPECT_EQ(popIndex(p), 30u);
    EXPECT_EQ(p, kIndexHere);

    p = kIndexHere;
    EXPECT_FALSE(pushIndex(p, 119));
    EXPECT_EQ(p, ~0ull);
    EXPECT_EQ(popIndex(p), std::nullopt);  // 1111 is no code
    EXPECT_EQ(p, kIndexHere);
}

std::vector<std::uint8_t> fileRecord(std::uint16_t usaCount) {
    std::vector<std::uint8_t> r(1024, 0);
    MutableBytes b(r);
    std::copy_n("FILE", 4, r.begin());
    storeLe<std::uint16_t>(b, 0x04, 0x30);
    storeLe<std::uint16_t>(b, 0x06, usaCount);
    storeLe<std::uint16_t>(b, 0x30, 0x1234);  // sequence number
    storeLe<std::uint16_t>(b, 0x32, 0xAAAA);  // what sector 0 really ends in
    storeLe<std::uint16_t>(b, 0x34, 0xBBBB);
    storeLe<std::uint16_t>(b, 510, 0x1234);
    storeLe<std::uint16_t>(b, 1022, 0x1234);
    return r;
}

TEST(UpdateSequence, RepairsEveryStrideOrRefuses) {
    auto r = fileRecord(3);
    ASSERT_TRUE(repairFileRecord(r));
    EXPECT_EQ(le16(r, 510), 0xAAAA);
    EXPECT_EQ(le16(r, 1022), 0xBBBB);

    r = fileRecord(3);
    storeLe<std::uint16_t>(MutableBytes(r), 1022, 0x9999);  // the second sector was torn
    EXPECT_FALSE(repairFileRecord(r));

    r = fileRecord(3);
    r[0] = 'B';
    EXPECT_FALSE(repairFileRecord(r));

    // An array of any other length than one entry per 512 bytes: past the record, one too
    // many, or none at all (which would verify nothing).
    for (std::uint16_t count : {0x200, 5, 4, 2, 1, 0}) {
        r = fileRecord(count);
        EXPECT_FALSE(repairFileRecord(r)) << count;
    }

    // A 4096-byte record (a volume of 4096-byte sectors) is still protected every 512 bytes.
    std::vector<std::uint8_t> big(4096, 0x5A);
    MutableBytes bb(big);
    std::copy_n("FILE", 4, big.begin());
    storeLe<std::uint16_t>(bb, 0x04, 0x30);
    storeLe<std::uint16_t>(bb, 0x06, 9);
    storeLe<std::uint16_t>(bb, 0x30, 0x0007);
    for (int i = 1; i <= 8; ++i) {
        storeLe<std::uint16_t>(bb, 0x30 + 2 * i, static_cast<std::uint16_t>(0x1100 + i));
        storeLe<std::uint16_t>(bb, static_cast<std::size_t>(i * 512 - 2), 0x0007);
    }
    ASSERT_TRUE(repairFileRecord(big));
    for (int i = 1; i <= 8; ++i) EXPECT_EQ(le16(big, static_cast<std::size_t>(i * 512 - 2)), 0x1100 + i) << i;

    std::vector<std::uint8_t> indx(1024, 0);
    std::copy_n("INDX", 4, indx.begin());
    MutableBytes ib(indx);
    storeLe<std::uint16_t>(ib, 0x06, 3);
    storeLe<std::uint16_t>(ib, 0x28, 0x0007);
    storeLe<std::uint16_t>(ib, 0x2A, 0x1111);
    storeLe<std::uint16_t>(ib, 0x2C, 0x2222);
    storeLe<std::uint16_t>(ib, 510, 0x0007);
    storeLe<std::uint16_t>(ib, 1022, 0x0007);
    ASSERT_TRUE(repairIndexRecord(indx));
    EXPECT_EQ(le16(indx, 510), 0x1111);
    EXPECT_EQ(le16(indx, 1022), 0x2222);
    storeLe<std::uint16_t>(ib, 510, 0x0008);
    EXPECT_FALSE(repairIndexRecord(indx));
}

}  // namespace
}  // namespace harrow
