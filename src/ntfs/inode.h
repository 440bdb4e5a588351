// CInode: one NTFS file record loaded from the volume, with the table of its attributes (those
// of its extension records included), and the reader that turns an attribute into bytes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.h"
#include "ntfs/mft.h"
#include "ntfs/record.h"
#include "ntfs/runs.h"

namespace harrow {

struct AttrEntry {
    std::uint32_t type = 0;
    std::u16string name;
    std::array<std::uint8_t, attr::kHeaderCopy> header{};  // the first bytes of the attribute record
    std::vector<std::uint8_t> value;                        // resident value
    std::vector<DataRun> runs;                              // non-resident extents, in VCN order

    bool nonResident() const { return header[attr::kNonResident] != 0; }
    bool compressed() const { return (header[attr::kFlags] & 0xFF) != 0; }
    std::uint64_t dataSize() const { return nonResident() ? le64(header, attr::kDataSize) : value.size(); }
    std::uint64_t initializedSize() const { return le64(header, attr::kInitializedSize); }
    // Clusters per compression unit (16 on every volume we know of).
    std::uint32_t unitClusters() const;
};

class CInode {
public:
    explicit CInode(Mft& mft) : mft_(mft), volume_(mft.volume()) {}

    // Loads record `number` through the MFT. True when the record was read and repaired, even if
    // its attributes could not be parsed (the table is then empty).
    bool loadByNumber(std::uint64_t number);
    // Loads the record whose first sector is `sector`, in use or not. Silent on failure.
    bool loadBySector(std::uint64_t sector);
    // Loads a record from bytes already read (at least one record's worth), as loadBySector does.
    bool loadFromBytes(Bytes record);
    void reset();

    Mft& mft() const { return mft_; }
    Volume& volume() const { return volume_; }
    bool loaded() const { return !record_.empty(); }
    std::uint64_t recordNumber() const { return number_; }
    // The record's own number as its header states it (NTFS 3.1); kNoRecord when absent.
    std::uint64_t headerRecordNumber() const;
    std::uint16_t flags() const { return le16(record_, frec::kFlags); }
    bool inUse() const { return flags() & frec::kInUse; }
    Bytes recordBytes() const { return record_; }
    const std::vector<AttrEntry>& attributes() const { return table_; }

    // The attribute of `type` named exactly `name` (none: the unnamed one), wherever it stands
    // among the attributes of its type: an attribute list may put a named stream first.
    const AttrEntry* find(std::uint32_t type, std::optional<std::string_view> name = std::nullopt) const;
    // The named data streams (alternate data streams), in table order.
    std::vector<const AttrEntry*> namedStreams() const;
    // The data stream whose name reads `name` in UTF-8, as lists show it; the empty name is the
    // unnamed stream.
    const AttrEntry* findStream(std::string_view name) const;
    // 0 when absent; the value's length if resident, else the data size.
    std::uint64_t attributeSize(std::uint32_t type, std::optional<std::string_view> name = std::nullopt) const;

    // Reads up to `length` bytes of the attribute's value from `offset` into `out` (which must hold
    // them); returns the bytes delivered, 0 when nothing could be read. Sparse runs, and bytes past
    // the initialized size, read as zeros; a read stops at the last run.
    std::uint64_t read(std::uint32_t type, std::optional<std::string_view> name, std::uint64_t offset,
                       MutableBytes out, std::uint64_t length);
    // The same for an attribute of this inode's table.
    std::uint64_t read(const AttrEntry& a, std::uint64_t offset, MutableBytes out, std::uint64_t length);
    // The sectors that reading the value from `offset` on (`length` bytes) goes through, in the order the reads
    // go (at most `most` extents; sparse runs and what lies past the initialized size are not
    // read), and the offset they reach: the value's end, or where the next extent begins.
    struct Extents {
        std::vector<SectorExtent> extents;
        std::uint64_t end = 0;
    };
    Extents sectorsOf(const AttrEntry& a, std::uint64_t offset, std::size_t most,
                      std::uint64_t length = UINT64_MAX) const;

private:
    bool parseAttributes(std::optional<std::uint64_t> baseKey);
    bool walkRecord(Bytes record, std::optional<std::uint64_t> key);
    bool walkList(Bytes list);
    bool insert(Bytes h);
    bool appendExtent(AttrEntry& e, Bytes h);

    std::uint64_t readUncompressed(const AttrEntry& a, std::uint64_t offset, MutableBytes out, std::uint64_t count);
    std::uint64_t readCompressed(const AttrEntry& a, std::uint64_t offset, MutableBytes out, std::uint64_t count);
    bool readClusters(std::int64_t lcn, std::uint64_t byteInRun, MutableBytes out);
    bool loadUnit(const AttrEntry& a, std::uint64_t unit);

    Mft& mft_;
    Volume& volume_;
    std::uint64_t number_ = kNoRecord;
    std::vector<std::uint8_t> record_;
    std::vector<AttrEntry> table_;
    std::vector<std::uint64_t> visited_;

    // The last compression unit decompressed, so that a file read block by block decompresses
    // each unit once.
    const AttrEntry* unitAttr_ = nullptr;
    std::uint64_t unitIndex_ = ~0ull;
    std::vector<std::uint8_t> unitData_;
    std::vector<std::uint8_t> gather_;
};

}  // namespace harrow
