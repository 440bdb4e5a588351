// The way to every file record of an NTFS volume: record 0 ($MFT), read when the volume opens and
// loaded as an inode whose data is the whole table.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "volume/volume.h"

namespace harrow {

class CInode;

inline constexpr std::uint64_t kNoRecord = ~0ull;

class Mft {
public:
    explicit Mft(Volume& volume);
    ~Mft();
    Mft(const Mft&) = delete;
    Mft& operator=(const Mft&) = delete;

    // Reads record 0 at the MFT's cluster. When it fails its checks there, it is
    // taken from $MFTMirr (named at 0x38 of `bootSector`), and the user is told. With
    // `loadTable` false (image files) the table itself is not loaded. False only when the source
    // is lost: a volume whose MFT cannot be read at all still opens, without the table, so that
    // the sector scan can find its file records; the user is told that too.
    bool open(Bytes bootSector, bool loadTable);
    void close();

    Volume& volume() const { return volume_; }
    // The table is loaded: records can be read by number.
    bool loaded() const { return inode_ != nullptr; }
    // The name in $Volume, when the table could be read.
    const std::string& label() const { return label_; }

    // Reads record `number` (repaired) through the table into `out`; record 0 comes from the copy
    // made at open.
    bool readRecord(std::uint64_t number, MutableBytes out);
    // The absolute sector where record `number` begins; 0 without a table, kNoRecord when the
    // table does not map it.
    std::uint64_t sectorOfRecord(std::uint64_t number) const;
    // The number of the record that begins at `sector` when its sectors do not lie one after
    // another (a run of the table ends inside it); nothing otherwise. Such a record can only be
    // read through the table.
    std::optional<std::uint64_t> splitRecordAt(std::uint64_t sector) const;
    // Record `number` as the table holds it, not repaired.
    bool readRawRecord(std::uint64_t number, MutableBytes out);
    // The sectors the table occupies, [first, end) run by run in table order; none without a
    // table. A table that grew may have runs anywhere on the volume, below its first one too.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> extents() const;

private:
    // Takes record 0 from `cluster` when it passes its checks and (with `loadTable`) loads.
    bool useRecordZero(std::uint64_t cluster, bool loadTable);

    Volume& volume_;
    std::vector<std::uint8_t> copy_;  // record 0, as read at open
    std::unique_ptr<CInode> inode_;   // record 0: the way to every other record
    std::string label_;
};

}  // namespace harrow
