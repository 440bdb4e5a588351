#include "support/sample_volume.h"

#include <algorithm>
#include <cstring>

namespace harrow::test {
namespace {

// DOS date and time: 2024-03-15 14:30:10 and a few days around it.
constexpr std::uint16_t date(int y, int m, int d) { return static_cast<std::uint16_t>(((y - 1980) << 9) | (m << 5) | d); }
constexpr std::uint16_t time(int h, int m, int s) { return static_cast<std::uint16_t>((h << 11) | (m << 5) | (s / 2)); }

void putText(FatImage& img, std::uint32_t cluster, const std::string& text) {
    const std::uint64_t at = img.clusterOffset(cluster);
    std::memcpy(img.bytes.data() + at, text.data(), text.size());
}

std::string repeatTo(const std::string& line, std::size_t size) {
    std::string s;
    while (s.size() < size) s += line;
    s.resize(size);
    return s;
}

}  // namespace

FatImage makeSampleFat() {
    using namespace sample;
    FatImage img = FatImage::make(16, 8192, 4);  // 2 KiB clusters
    std::uint64_t at = img.rootOffset();
    auto entry = [&](const std::string& name11, std::uint8_t attr, std::uint32_t cluster, std::uint32_t size,
                     std::uint16_t d = date(2024, 3, 15), std::uint16_t t = time(14, 30, 10)) {
        img.putEntry(at, name11, attr, cluster, size, d, t);
        at += 32;
    };
    auto longEntry = [&](const std::u16string& name, const std::string& name11, std::uint8_t attr,
                         std::uint32_t cluster, std::uint32_t size, std::uint16_t d = date(2024, 3, 15)) {
        at = img.putLongName(at, name);
        entry(name11, attr, cluster, size, d);
    };

    entry("HARROWDEMO ", 0x08, 0, 0);
    longEntry(u"Documents", "DOCUME~1   ", 0x10, kDocuments, 0, date(2024, 1, 9));
    entry("PHOTOS     ", 0x10, kPhotos, 0, date(2023, 8, 21));
    entry("\xE5" "LD        ", 0x10, 40, 0, date(2022, 5, 2));  // a deleted directory, still intact
    longEntry(u"readme.txt", "README~1TXT", 0x21, 30, 600, date(2024, 2, 1));
    entry("\xE5" "EPORT  TXT", 0x20, 31, 1500, date(2024, 3, 1));  // deleted, clusters free
    entry("BROKEN  DAT", 0x20, 32, 9000, date(2021, 11, 30));       // chain fits no copy
    entry("HALF    DAT", 0x20, 34, 4000, date(2021, 12, 1));        // chain fits the first copy only
    img.chain({3});
    img.chain({4});
    img.chain({40});
    img.chain({30});
    img.chain({32, 33});
    img.chain({34, 35}, 0);
    img.chain({34}, 1);
    putText(img, 30, repeatTo("Harrow sample volume: files to get back.\n", 600));
    putText(img, 31, repeatTo("Quarterly report, deleted by mistake.\n", 1500));

    // Documents.
    at = img.makeDirectory(kDocuments, 0);
    longEntry(u"Report 2024.txt", "REPORT~1TXT", 0x20, 10, 1023);
    longEntry(u"notes.txt", "NOTES   TXT", 0x20, 11, 16);
    entry("ONE     BIN", 0x20, 12, 1);
    longEntry(u"seventeen.txt", "SEVENT~1TXT", 0x20, 13, 17);
    entry("\xE5" "UDGET  XLS", 0x20, 14, 3000, date(2024, 3, 10));  // deleted; both clusters free
    img.chain({10});
    img.chain({11});
    img.chain({12});
    img.chain({13});
    putText(img, 10, repeatTo("Sales rose in every quarter of 2024. ", 1023));
    putText(img, 11, "Harrow notes 16!");
    putText(img, 12, "H");
    putText(img, 13, "seventeen bytes!\n");
    putText(img, 14, repeatTo("budget;2024;", 3000));

    // Photos: one live picture, and a deleted one whose first cluster is free but not the next.
    at = img.makeDirectory(kPhotos, 0);
    entry("IMG_0001JPG", 0x20, 20, 5000, date(2023, 8, 20), time(9, 12, 44));
    entry("\xE5" "MG_0002JPG", 0x20, 23, 5000, date(2023, 8, 20), time(9, 13, 2));
    img.chain({20, 21, 22});
    img.chain({24});  // taken by another file since
    at = img.makeDirectory(40, 0);
    entry("OLDLIST TXT", 0x20, 41, 100);

    // A lost directory under a parent that is gone, and one that hung off the root.
    at = img.makeDirectory(kLostDir, 60);
    longEntry(u"holiday.jpg", "HOLIDA~1JPG", 0x20, 51, 3000);
    longEntry(u"Old letters", "OLDLET~1   ", 0x10, 53, 0);
    img.chain({kLostDir});
    img.chain({51, 52});
    at = img.makeDirectory(53, kLostDir);
    entry("MOTHER  TXT", 0x20, 54, 300);
    img.chain({53});
    img.chain({54});
    at = img.makeDirectory(kLostRootDir, 0);
    entry("SETUP   EXE", 0x20, 56, 2000);
    img.chain({kLostRootDir});
    img.chain({56});
    return img;
}

DriveEntry driveEntry(char letter, DriveType type, std::string label, std::string path, std::uint64_t offset) {
    DriveEntry e;
    e.letter = letter;
    e.type = type;
    e.label = std::move(label);
    e.path = std::move(path);
    e.offset = offset;
    return e;
}

}  // namespace harrow::test
