// A small NTFS volume built in memory: 512-byte sectors and clusters, 1024-byte file and index
// records, the MFT at cluster 64. Tests place records, attributes and index entries by hand to
// reach the structures (and the damage) that mkntfs and ntfs-3g will not make.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <optional>
#include <vector>

#include "common/bytes.h"
#include "common/prompts.h"
#include "document/document.h"
#include "volume/memory_source.h"

namespace harrow::test {

class NtfsImage {
public:
    static constexpr std::uint32_t kMftCluster = 64;
    static constexpr std::uint32_t kRecords = 64;
    static constexpr std::uint32_t kRecordBytes = 1024;

    explicit NtfsImage(std::uint32_t totalSectors = 8192);

    std::vector<std::uint8_t> bytes;

    MutableBytes record(std::uint32_t n);
    std::uint64_t recordSector(std::uint32_t n) const { return kMftCluster + 2ull * n; }
    MutableBytes cluster(std::uint64_t c, std::uint32_t count = 1);

    // An empty record: header, no attributes. Flags 1 = in use, 3 = in-use directory.
    void beginRecord(std::uint32_t n, std::uint16_t flags = 1);
    // Appends an attribute record (built below) to record n.
    void addAttribute(std::uint32_t n, const std::vector<std::uint8_t>& attribute);
    // Writes the update sequence of every record begun, as a volume stores it.
    void finish();

    static std::vector<std::uint8_t> resident(std::uint32_t type, const std::u16string& name,
                                              const std::vector<std::uint8_t>& value);
    static std::vector<std::uint8_t> nonResident(std::uint32_t type, const std::u16string& name,
                                                 const std::vector<std::uint8_t>& runs, std::uint64_t firstVcn,
                                                 std::uint64_t lastVcn, std::uint64_t dataSize,
                                                 std::uint64_t initializedSize = ~0ull, std::uint16_t flags = 0);
    // A $FILE_NAME value.
    static std::vector<std::uint8_t> fileName(std::uint64_t parent, const std::u16string& name, std::uint8_t nameSpace = 1,
                                              std::uint64_t size = 0);
    // A $STANDARD_INFORMATION value with a modification time and DOS attributes.
    static std::vector<std::uint8_t> standardInfo(std::uint64_t modified, std::uint8_t dosAttributes);
    // An index entry; `last` entries carry no key.
    static std::vector<std::uint8_t> indexEntry(std::uint64_t record, std::uint64_t parent, const std::u16string& name,
                                                bool last = false, std::optional<std::uint64_t> subnodeVcn = {},
                                                std::uint8_t nameSpace = 1);
    // An $INDEX_ROOT value holding `entries` back to back.
    static std::vector<std::uint8_t> indexRoot(const std::vector<std::vector<std::uint8_t>>& entries, bool large = false);
    // An INDX record at cluster `c` (two clusters), with its update sequence applied.
    void putIndexRecord(std::uint64_t c, std::uint64_t vcn, const std::vector<std::vector<std::uint8_t>>& entries);
    // Directory `dir` with an index of the root and `blocks` (at most 10) INDX records, block k at
    // VCN 2k in clusters `firstCluster` + 2k on. Each node holds three entries for record `file`,
    // named for the node ("r" the root, the digit k block k) and the entry ("a" to "c"), and the
    // end entry. Entry j (0 to 3) of node n (-1 the root) has block `subnode(n, j)` below it, none
    // when that is negative.
    void putIndexedDirectory(std::uint32_t dir, std::uint32_t file, std::uint64_t firstCluster, int blocks,
                             const std::function<int(int, int)>& subnode);

private:
    std::vector<std::uint32_t> begun_;
};

// A document opened on the image through the whole open path (finishing its records first), with
// the drive left open.
struct OpenedNtfs {
    explicit OpenedNtfs(NtfsImage& img);
    ~OpenedNtfs() { doc.drive().close(); }
    CDrive& drive() { return doc.drive(); }
    RecordingPrompts prompts;
    MemorySources sources;
    CQUIDNEYDoc doc;
    bool opened = false, ok = false;
};

// Concatenates byte vectors.
std::vector<std::uint8_t> join(const std::vector<std::vector<std::uint8_t>>& parts);

}  // namespace harrow::test
