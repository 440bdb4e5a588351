// Walking an NTFS directory index ("$I30") in key order, one entry per call. The position is a
// single 64-bit value holding the path through the tree: a stack of entry indexes, the root
// level in the lowest bits, each pushed as a prefix code of 4, 6, 8 or 10 bits.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/bytes.h"

namespace harrow {

class CInode;

// The "$I30" index of one directory as a listing walks it: the root value and the index blocks
// read so far, so that a listing reads each block once however often the walk passes through it,
// and the blocks the walk has gone down into, so that it goes down into each once: on a damaged
// volume several entries may point at one block, and following every one of them multiplies the
// walk at each level.
class IndexReader {
public:
    explicit IndexReader(CInode& dir) : dir_(dir) {}

    // The entries of the index root; nothing when the directory has none.
    std::optional<Bytes> root();
    // The entries of the index block at `vcn`, repaired; none (and the block counts as damaged)
    // when it cannot be read or is not the block asked for.
    using Block = std::shared_ptr<const std::vector<std::uint8_t>>;
    Block block(std::uint64_t vcn);
    // Marks the block at `vcn` as gone down into; false when it already was (since `restart`).
    bool enter(std::uint64_t vcn) { return entered_.insert(vcn).second; }
    // A subnode pointer led to a block gone down into before: the first such block of a listing
    // counts as damaged.
    void noteReentry(std::uint64_t vcn);
    // A walk from the start may go down into every block again.
    void restart() { entered_.clear(); }
    // The blocks that could not be used (or were led to again), in the order met.
    const std::vector<std::uint64_t>& damaged() const { return damaged_; }
    // The blocks that could not be used because the volume's source does not hold them (an
    // image file of part of a volume): what they listed is not there, which is no damage.
    const std::vector<std::uint64_t>& missing() const { return missing_; }

private:
    CInode& dir_;
    std::optional<std::vector<std::uint8_t>> root_;
    std::unordered_map<std::uint64_t, Block> blocks_;
    std::uint64_t cachedBytes_ = 0;
    std::vector<std::uint64_t> damaged_;
    std::vector<std::uint64_t> missing_;
    // Whether the source holds the block at byte `offset` of the index allocation.
    bool held(std::uint64_t offset, std::uint32_t bytes) const;
    // Tells the source where the blocks that the entries of `node` lead down to lie: the walk
    // reads them in that order.
    void planChildren(Bytes node) const;
    std::unordered_set<std::uint64_t> entered_;
    bool reentryNoted_ = false;
};

using IndexPosition = std::uint64_t;
inline constexpr IndexPosition kIndexStart = 0;
// The entry itself at the innermost level; alone, the end of the enumeration.
inline constexpr IndexPosition kIndexHere = 14;

// Pushes entry index `i` onto `p`. Indexes from 119 on cannot be coded: `p` becomes all bits set
// and the result is false.
bool pushIndex(IndexPosition& p, std::uint32_t i);
// Pops the innermost index; nothing for a code that is not one of the four (the position then
// stands at the end).
std::optional<std::uint32_t> popIndex(IndexPosition& p);

// Index entry:
//   0x00 file reference (48-bit record number)   0x08 entry length   0x0C flags (1 subnode, 2 last)
//   0x10 key: a file-name value (0x00 parent reference, 0x08 times, 0x30 data size, 0x40 name
//        length, 0x41 name space, 0x42 name)    length - 8: subnode VCN
struct IndexKey {
    std::uint64_t record = 0;
    std::uint64_t parent = 0;
    std::uint64_t modified = 0;  // FILETIME
    std::uint64_t dataSize = 0;
    std::uint8_t nameSpace = 0;  // 2: the DOS short name
    std::u16string name;
};
inline constexpr std::uint8_t kDosNameSpace = 2;

// The key of an index entry; nothing when the entry carries none or its name does not fit.
std::optional<IndexKey> parseIndexEntry(Bytes entry);

// Moves `p` on to the next entry of the directory and copies it into `entry`. The first call
// (from kIndexStart) only positions on the first entry. False at the end or on damage.
bool enumerate(IndexReader& index, IndexPosition& p, std::vector<std::uint8_t>& entry);

}  // namespace harrow
