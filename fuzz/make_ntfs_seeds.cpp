// Writes crafted NTFS volumes for fuzz_ntfs_volume: the structures mkntfs and ntfs-3g do not
// make on a small volume (attribute lists, an $MFT whose data continues in another record,
// compressed units stored and sparse, uninitialized tails, index loops and fans, torn index
// blocks), each a few hundred KiB so that the fuzzer's mutations land on records rather than on
// empty space.
//
// Usage: make_ntfs_seeds OUTDIR
#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "ntfs/record.h"
#include "support/ntfs_image.h"

using namespace harrow;
using test::join;
using test::NtfsImage;

namespace {

constexpr std::uint32_t kSectors = 1024;  // 512 KiB: the MFT ends at sector 192, data from 300 on
constexpr std::uint64_t kRoot = 5;
constexpr std::uint64_t kTime = 133000000000000000ull;  // 2022-06-18

std::vector<std::uint8_t> bytesOf(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<std::uint8_t> listEntry(std::uint32_t type, std::uint64_t record, std::uint64_t vcn) {
    std::vector<std::uint8_t> e(0x20, 0);
    MutableBytes b(e);
    storeLe<std::uint32_t>(b, 0x00, type);
    storeLe<std::uint16_t>(b, 0x04, 0x20);
    storeLe<std::uint64_t>(b, 0x08, vcn);
    storeLe<std::uint64_t>(b, 0x10, record | (1ull << 48));
    return e;
}

void fill(NtfsImage& img, std::uint64_t cluster, std::uint32_t count, const std::string& text) {
    MutableBytes c = img.cluster(cluster, count);
    for (std::size_t i = 0; i < c.size(); ++i) c[i] = static_cast<std::uint8_t>(text[i % text.size()]);
}

// A record with the attributes every listed file has: standard information and a name.
void named(NtfsImage& img, std::uint32_t r, std::uint64_t parent, const std::u16string& name, std::uint16_t flags = 1) {
    img.beginRecord(r, flags);
    img.addAttribute(r, NtfsImage::resident(AT_STANDARD_INFORMATION, u"",
                                            NtfsImage::standardInfo(kTime, (flags & 2) ? 0x10 : 0x20)));
    img.addAttribute(r, NtfsImage::resident(AT_FILE_NAME, u"", NtfsImage::fileName(parent, name)));
}

enum Variant { Plain, IndexLoop, IndexFan, MftList };

NtfsImage build(Variant v) {
    NtfsImage img(kSectors);

    if (v == MftList) {
        // $MFT's data in two extents, the second described in record 15 through the attribute
        // list: loading record 0 needs record 15, which is reached through record 0.
        img.beginRecord(0);
        img.addAttribute(0, NtfsImage::resident(AT_ATTRIBUTE_LIST, u"",
                                                join({listEntry(AT_DATA, 0, 0), listEntry(AT_DATA, 15, 64)})));
        img.addAttribute(0, NtfsImage::nonResident(AT_DATA, u"", {0x21, 0x40, 0x40, 0x00}, 0, 63,
                                                   NtfsImage::kRecords * NtfsImage::kRecordBytes));
        img.beginRecord(15);
        img.addAttribute(15, NtfsImage::nonResident(AT_DATA, u"", {0x21, 0x40, 0x80, 0x00}, 64, 127, 0));
    }

    // The root: a few files of every kind, a DOS name and a system file that the lists leave
    // out. More than a record holds, so the rest stand in an index block under the end entry.
    named(img, kRoot, kRoot, u".", 3);
    img.addAttribute(kRoot, NtfsImage::resident(AT_INDEX_ROOT, u"$I30",
                                                NtfsImage::indexRoot({NtfsImage::indexEntry(9, kRoot, u"$Secure"),
                                                                      NtfsImage::indexEntry(20, kRoot, u"A.txt"),
                                                                      NtfsImage::indexEntry(20, kRoot, u"A~1.TXT", false, {}, 2),
                                                                      NtfsImage::indexEntry(21, kRoot, u"B"),
                                                                      NtfsImage::indexEntry(0, 0, u"", true, 0)},
                                                                     true)));
    img.addAttribute(kRoot, NtfsImage::nonResident(AT_INDEX_ALLOCATION, u"$I30", {0x21, 0x02, 0x62, 0x02}, 0, 1, 2 * 512));
    std::vector<std::vector<std::uint8_t>> inRoot = {
        NtfsImage::indexEntry(25, kRoot, u"attrlist.bin"), NtfsImage::indexEntry(27, kRoot, u"sparse.bin"),
        NtfsImage::indexEntry(28, kRoot, u"compressed.bin"), NtfsImage::indexEntry(29, kRoot, u"streams.txt"),
        NtfsImage::indexEntry(30, kRoot, u"\u65E5\u672C\u8A9E \U0001F600 " + std::u16string(1, 0xD800) + u"x"),
        NtfsImage::indexEntry(31, kRoot, u"deleted.bin"), NtfsImage::indexEntry(33, kRoot, u"torn")};
    if (v == IndexFan) {
        // Every entry of the root and of block k points at block k + 1: 4^8 ways down to the
        // last block, each a different path, so no loop check sees them.
        inRoot.push_back(NtfsImage::indexEntry(34, kRoot, u"fan"));
        img.putIndexedDirectory(34, 20, 940, 8, [](int node, int) { return node < 7 ? node + 1 : -1; });
    }
    inRoot.push_back(NtfsImage::indexEntry(0, 0, u"", true));
    img.putIndexRecord(610, 0, inRoot);

    named(img, 20, kRoot, u"A.txt");
    img.addAttribute(20, NtfsImage::resident(AT_DATA, u"", bytesOf("file A, resident\n")));

    // B: a two-level index. Entry K has the subnode holding X, the end entry the one holding Y.
    named(img, 21, kRoot, u"B", 3);
    img.addAttribute(21, NtfsImage::resident(AT_INDEX_ROOT, u"$I30",
                                             NtfsImage::indexRoot({NtfsImage::indexEntry(22, 21, u"K", false, 0),
                                                                   NtfsImage::indexEntry(0, 0, u"", true, 2)},
                                                                  true)));
    img.addAttribute(21, NtfsImage::nonResident(AT_INDEX_ALLOCATION, u"$I30", {0x21, 0x04, 0x58, 0x02}, 0, 3, 4 * 512));
    img.putIndexRecord(600, 0, {NtfsImage::indexEntry(23, 21, u"X"), NtfsImage::indexEntry(0, 0, u"", true)});
    if (v == IndexLoop)
        img.putIndexRecord(602, 2, {NtfsImage::indexEntry(24, 21, u"Y"), NtfsImage::indexEntry(0, 0, u"", true, 2)});
    else
        img.putIndexRecord(602, 2, {NtfsImage::indexEntry(24, 21, u"Y"), NtfsImage::indexEntry(0, 0, u"", true)});
    const std::pair<std::uint32_t, const char16_t*> inB[] = {{22, u"K"}, {23, u"X"}, {24, u"Y"}};
    for (const auto& [r, name] : inB) {
        named(img, r, 21, name);
        img.addAttribute(r, NtfsImage::resident(AT_DATA, u"", bytesOf("in B")));
    }

    // Data in 20 clusters: 300-309 described in the base record, 400-409 in record 26.
    fill(img, 300, 10, "attrlist extent one ");
    fill(img, 400, 10, "attrlist extent two ");
    named(img, 25, kRoot, u"attrlist.bin");
    img.addAttribute(25, NtfsImage::resident(AT_ATTRIBUTE_LIST, u"",
                                             join({listEntry(AT_STANDARD_INFORMATION, 25, 0), listEntry(AT_FILE_NAME, 25, 0),
                                                   listEntry(AT_DATA, 25, 0), listEntry(AT_DATA, 26, 10)})));
    img.addAttribute(25, NtfsImage::nonResident(AT_DATA, u"", {0x21, 0x0A, 0x2C, 0x01}, 0, 9, 20 * 512 - 100));
    img.beginRecord(26);
    img.addAttribute(26, NtfsImage::nonResident(AT_DATA, u"", {0x21, 0x0A, 0x90, 0x01}, 10, 19, 0));

    // 2 clusters at 500, 2 sparse, 2 at 520; initialized only up to 5 clusters.
    fill(img, 500, 2, "sparse head ");
    fill(img, 520, 2, "sparse tail ");
    named(img, 27, kRoot, u"sparse.bin");
    img.addAttribute(27, NtfsImage::nonResident(AT_DATA, u"", {0x21, 0x02, 0xF4, 0x01, 0x01, 0x02, 0x11, 0x02, 0x14}, 0, 5,
                                                6 * 512, 5 * 512));

    // 8 KiB units: one LZNT1 cluster and 15 sparse; 16 stored clusters; 16 sparse.
    {
        // "hello", then a back-reference 5 back for 10 bytes: "hellohellohello".
        const std::vector<std::uint8_t> chunk = {0x07, 0xB0, 0x20, 'h', 'e', 'l', 'l', 'o', 0x07, 0x40};
        std::copy(chunk.begin(), chunk.end(), img.cluster(700).begin());
        fill(img, 720, 16, "stored unit ");
        named(img, 28, kRoot, u"compressed.bin");
        img.addAttribute(28, NtfsImage::nonResident(AT_DATA, u"",
                                                    {0x21, 0x01, 0xBC, 0x02, 0x01, 0x0F, 0x11, 0x10, 0x14, 0x01, 0x10}, 0, 47,
                                                    3 * 8192 - 10, ~0ull, 0x0001));
    }

    // Named streams next to the unnamed one, resident and not.
    fill(img, 800, 2, "secret stream ");
    named(img, 29, kRoot, u"streams.txt");
    img.addAttribute(29, NtfsImage::resident(AT_DATA, u"", bytesOf("main stream\n")));
    img.addAttribute(29, NtfsImage::resident(AT_DATA, u"tag", bytesOf("tagged")));
    img.addAttribute(29, NtfsImage::nonResident(AT_DATA, u"secret", {0x21, 0x02, 0x20, 0x03}, 0, 1, 1000));

    // A name of 200 characters of three UTF-8 bytes each: the lists cut it at 255 bytes.
    named(img, 30, kRoot, std::u16string(200, u'\u65E5'));
    img.addAttribute(30, NtfsImage::resident(AT_DATA, u"", bytesOf("long name")));

    // Deleted: the record is no longer in use but still describes its data.
    fill(img, 850, 3, "deleted data ");
    named(img, 31, kRoot, u"deleted.bin", 0);
    img.addAttribute(31, NtfsImage::nonResident(AT_DATA, u"", {0x21, 0x03, 0x52, 0x03}, 0, 2, 3 * 512 - 1));

    // An orphan: in use, its parent record empty; only a scan of the MFT finds it.
    named(img, 32, 40, u"orphan.txt");
    img.addAttribute(32, NtfsImage::resident(AT_DATA, u"", bytesOf("orphan")));

    // A directory whose only index block was torn: its sectors end in different numbers.
    named(img, 33, kRoot, u"torn", 3);
    img.addAttribute(33, NtfsImage::resident(AT_INDEX_ROOT, u"$I30",
                                             NtfsImage::indexRoot({NtfsImage::indexEntry(0, 0, u"", true, 0)}, true)));
    img.addAttribute(33, NtfsImage::nonResident(AT_INDEX_ALLOCATION, u"$I30", {0x21, 0x02, 0x84, 0x03}, 0, 1, 2 * 512));
    img.putIndexRecord(900, 0, {NtfsImage::indexEntry(20, 33, u"A again"), NtfsImage::indexEntry(0, 0, u"", true)});
    img.cluster(901)[510] ^= 0xFF;

    img.finish();
    return img;
}

bool write(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const struct {
        const char* name;
        Variant variant;
    } seeds[] = {{"crafted.img", Plain}, {"crafted-index-loop.img", IndexLoop},
                   {"crafted-index-fan.img", IndexFan}, {"crafted-mft-list.img", MftList}};
    for (const auto& s : seeds) {
        if (!write(dir + "/" + s.name, build(s.variant).bytes)) {
            std::fprintf(stderr, "make_ntfs_seeds: cannot write %s/%s\n", dir.c_str(), s.name);
            return 1;
        }
    }
    return 0;
}
