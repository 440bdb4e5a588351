// Small FAT volumes built in memory, for the structures mkfs.fat and mtools will not make:
// broken chains, FAT copies that disagree, damaged boot sectors, hand-placed directory entries.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/prompts.h"
#include "document/document.h"
#include "volume/memory_source.h"

namespace harrow::test {

class FatImage {
public:
    // FAT12/16: sectors per FAT sized for the volume; FAT32 likewise, root directory at cluster 2.
    static FatImage make(int bits, std::uint32_t totalSectors, std::uint8_t sectorsPerCluster,
                         std::uint16_t rootEntries = 512, std::uint8_t fats = 2);

    std::vector<std::uint8_t> bytes;
    int bits = 16;
    std::uint32_t bytesPerSector = 512;
    std::uint8_t sectorsPerCluster = 4;
    std::uint16_t reservedSectors = 1;
    std::uint8_t fats = 2;
    std::uint16_t rootEntries = 512;
    std::uint32_t sectorsPerFat = 0;
    std::uint32_t rootCluster = 0;

    MutableBytes boot() { return MutableBytes(bytes).first(512); }
    std::uint64_t dataStart() const;
    std::uint64_t clusterOffset(std::uint32_t c) const;
    std::uint64_t rootOffset() const;
    std::uint32_t clusterBytes() const { return bytesPerSector * sectorsPerCluster; }

    // Sets the entry of `c` in `copy`, or in every copy when copy is -1.
    void setFat(std::uint32_t c, std::uint32_t value, int copy = -1);
    // Links clusters into a chain ending in an end-of-chain mark.
    void chain(const std::vector<std::uint32_t>& clusters, int copy = -1);
    // Writes a 32-byte entry; `name11` is the padded 8.3 name ("FOO     TXT").
    void putEntry(std::uint64_t offset, const std::string& name11, std::uint8_t attr, std::uint32_t cluster,
                  std::uint32_t size, std::uint16_t date = 0x5A21, std::uint16_t time = 0x6000);
    // Writes the long-name entries for `name` at `offset` (last piece first) and returns the offset
    // after them; the short entry goes there.
    std::uint64_t putLongName(std::uint64_t offset, const std::u16string& name);
    // Starts a directory at cluster `c`: "." and "..", and returns the offset of entry 2.
    std::uint64_t makeDirectory(std::uint32_t c, std::uint32_t parent);
    void fillCluster(std::uint32_t c, std::uint8_t value);
};

// A document opened on an in-memory image through the whole open path.
struct OpenedImage {
    explicit OpenedImage(const FatImage& image, int dirFat = 0, int showDeleted = 1);
    RecordingPrompts prompts;
    MemorySources sources;
    CQUIDNEYDoc doc;
    bool opened = false;
};

}  // namespace harrow::test
