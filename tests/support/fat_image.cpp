#include "support/fat_image.h"

#include <algorithm>

namespace harrow::test {

FatImage FatImage::make(int bits, std::uint32_t totalSectors, std::uint8_t spc, std::uint16_t rootEntries, std::uint8_t fats) {
    FatImage img;
    img.bits = bits;
    img.sectorsPerCluster = spc;
    img.fats = fats;
    img.reservedSectors = bits == 32 ? 32 : 1;
    img.rootEntries = bits == 32 ? 0 : rootEntries;
    std::uint64_t clusters = totalSectors / spc + 2;
    std::uint64_t fatBytes = bits == 12 ? clusters * 3 / 2 + 1 : clusters * bits / 8;
    img.sectorsPerFat = static_cast<std::uint32_t>((fatBytes + 511) / 512);
    img.rootCluster = bits == 32 ? 2 : 0;
    img.bytes.assign(std::size_t{totalSectors} * 512, 0);

    MutableBytes b = img.boot();
    b[0] = 0xEB;
    b[1] = 0x3C;
    b[2] = 0x90;
    std::copy_n("MSWIN4.1", 8, b.begin() + 3);
    storeLe<std::uint16_t>(b, 0x0B, 512);
    b[0x0D] = spc;
    storeLe<std::uint16_t>(b, 0x0E, img.reservedSectors);
    b[0x10] = fats;
    storeLe<std::uint16_t>(b, 0x11, img.rootEntries);
    if (totalSectors < 0x10000)
        storeLe<std::uint16_t>(b, 0x13, static_cast<std::uint16_t>(totalSectors));
    else
        storeLe<std::uint32_t>(b, 0x20, totalSectors);
    b[0x15] = 0xF8;
    storeLe<std::uint16_t>(b, 0x18, 32);
    storeLe<std::uint16_t>(b, 0x1A, 4);
    if (bits == 32) {
        storeLe<std::uint32_t>(b, 0x24, img.sectorsPerFat);
        storeLe<std::uint32_t>(b, 0x2C, img.rootCluster);
        b[0x42] = 0x29;
        std::copy_n("NO NAME    FAT32   ", 19, b.begin() + 0x47);
    } else {
        storeLe<std::uint16_t>(b, 0x16, static_cast<std::uint16_t>(img.sectorsPerFat));
        b[0x26] = 0x29;
        std::copy_n(bits == 16 ? "NO NAME    FAT16   " : "NO NAME    FAT12   ", 19, b.begin() + 0x2B);
    }
    b[510] = 0x55;
    b[511] = 0xAA;

    std::uint32_t eoc = bits == 32 ? 0x0FFFFFFF : bits == 16 ? 0xFFFF : 0xFFF;
    img.setFat(0, eoc & 0xFFFFFFF8u);
    img.setFat(1, eoc);
    if (bits == 32) img.setFat(2, eoc);
    return img;
}

std::uint64_t FatImage::dataStart() const {
    return reservedSectors + std::uint64_t{fats} * sectorsPerFat + std::uint64_t{rootEntries} * 32 / bytesPerSector;
}

std::uint64_t FatImage::clusterOffset(std::uint32_t c) const { return (dataStart() + std::uint64_t{c - 2} * sectorsPerCluster) * 512; }

std::uint64_t FatImage::rootOffset() const {
    return bits == 32 ? clusterOffset(rootCluster) : (reservedSectors + std::uint64_t{fats} * sectorsPerFat) * 512;
}

void FatImage::setFat(std::uint32_t c, std::uint32_t value, int copy) {
    for (int i = 0; i < fats; ++i) {
        if (copy != -1 && copy != i) continue;
        MutableBytes t = MutableBytes(bytes).subspan((reservedSectors + static_cast<std::size_t>(i) * sectorsPerFat) * 512, sectorsPerFat * 512);
        if (bits == 32) {
            storeLe<std::uint32_t>(t, std::size_t{c} * 4, value);
        } else if (bits == 16) {
            storeLe<std::uint16_t>(t, std::size_t{c} * 2, static_cast<std::uint16_t>(value));
        } else {
            std::size_t p = std::size_t{c} * 3 / 2;
            if (c & 1) {
                t[p] = static_cast<std::uint8_t>((t[p] & 0x0F) | ((value & 0x0F) << 4));
                t[p + 1] = static_cast<std::uint8_t>(value >> 4);
            } else {
                t[p] = static_cast<std::uint8_t>(value);
                t[p + 1] = static_cast<std::uint8_t>((t[p + 1] & 0xF0) | ((value >> 8) & 0x0F));
            }
        }
    }
}

void FatImage::chain(const std::vector<std::uint32_t>& clusters, int copy) {
    std::uint32_t eoc = bits == 32 ? 0x0FFFFFFF : bits == 16 ? 0xFFFF : 0xFFF;
    for (std::size_t i = 0; i < clusters.size(); ++i)
        setFat(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : eoc, copy);
}

void FatImage::putEntry(std::uint64_t offset, const std::string& name11, std::uint8_t attr, std::uint32_t cluster,
                        std::uint32_t size, std::uint16_t date, std::uint16_t time) {
    MutableBytes e = MutableBytes(bytes).subspan(static_cast<std::size_t>(offset), 32);
    std::fill(e.begin(), e.end(), 0);
    for (std::size_t i = 0; i < 11; ++i) e[i] = i < name11.size() ? static_cast<std::uint8_t>(name11[i]) : ' ';
    e[11] = attr;
    storeLe<std::uint16_t>(e, 20, static_cast<std::uint16_t>(cluster >> 16));
    storeLe<std::uint16_t>(e, 22, time);
    storeLe<std::uint16_t>(e, 24, date);
    storeLe<std::uint16_t>(e, 26, static_cast<std::uint16_t>(cluster));
    storeLe<std::uint32_t>(e, 28, size);
}

std::uint64_t FatImage::putLongName(std::uint64_t offset, const std::u16string& name) {
    std::size_t pieces = (name.size() + 12) / 13;
    static constexpr std::size_t kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (std::size_t n = pieces; n >= 1; --n) {
        MutableBytes e = MutableBytes(bytes).subspan(static_cast<std::size_t>(offset), 32);
        std::fill(e.begin(), e.end(), 0);
        e[0] = static_cast<std::uint8_t>(n | (n == pieces ? 0x40 : 0));
        e[11] = 0x0F;
        for (std::size_t i = 0; i < 13; ++i) {
            std::size_t k = (n - 1) * 13 + i;
            char16_t u = k < name.size() ? name[k] : k == name.size() ? u'\0' : u'\xFFFF';
            storeLe<std::uint16_t>(e, kOffsets[i], u);
        }
        offset += 32;
    }
    return offset;
}

std::uint64_t FatImage::makeDirectory(std::uint32_t c, std::uint32_t parent) {
    std::uint64_t at = clusterOffset(c);
    putEntry(at, ".          ", 0x10, c, 0);
    putEntry(at + 32, "..         ", 0x10, parent, 0);
    return at + 64;
}

void FatImage::fillCluster(std::uint32_t c, std::uint8_t value) {
    std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(clusterOffset(c)), clusterBytes(), value);
}

OpenedImage::OpenedImage(const FatImage& image, int dirFat, int showDeleted)
    : sources(image.bytes), doc(prompts, sources) {
    doc.options.searchDisk = false;
    doc.options.dirFat = dirFat;
    doc.options.showDeleted = showDeleted != 2;
    DocHost host;
    opened = doc.openDrive('T', host);
}

}  // namespace harrow::test
