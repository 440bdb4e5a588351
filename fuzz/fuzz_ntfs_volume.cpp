// A whole NTFS volume from the fuzzer, opened the way the front ends open one: the root list,
// every directory listed through its index, every file's data and named streams read block by
// block, then the scan's hand-in of file records by sector and the view's lists. Records,
// attribute lists, run lists, compressed units and index blocks all come from the hostile image.
//
// Besides memory safety it holds the readers to what they promise: names are UTF-8 of at most
// 255 bytes, a read never reports more bytes than it was asked for, an attribute read in blocks
// of one size gives the same bytes as read in one piece or in blocks of another size
// (compression units are cached between reads, and a stale unit would show here), and a record
// loaded by its number (as listing does) and by its sector (as reading does) has the same
// attributes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_checks.h"
#include "common/prompts.h"
#include "common/text.h"
#include "document/document.h"
#include "ntfs/inode.h"
#include "ntfs/ntfs_list.h"
#include "ntfs/record.h"
#include "document/drive.h"
#include "document/file_reader.h"
#include "volume/memory_source.h"

using namespace harrow;
using namespace harrow::fuzz;

namespace {

constexpr std::size_t kMaxImageBytes = 4 << 20;
// Short images are padded with zeros: the boot sector and the first records must be readable for
// anything past the open to run.
constexpr std::size_t kMinImageBytes = 64 << 10;
// Budgets per input, so that one input costs milliseconds however it is built.
constexpr int kMaxListings = 200;
constexpr std::uint64_t kMaxReadBytes = 1 << 20;
constexpr std::uint64_t kMaxCheckedBytes = 256 << 10;  // per attribute, for the block-size comparison
constexpr std::uint32_t kMaxBlock = 64 << 10;
constexpr std::uint64_t kFoundSectors = 300;
constexpr std::size_t kMaxItemsAtSector = 64;
constexpr std::size_t kMaxCompared = 256;

// Cluster-sized blocks, as saving reads; very large clusters (a hostile boot sector may claim
// up to 2 GiB) are read in pieces that still fit the budget.
std::uint32_t blockSize(const CDrive& drive) { return std::clamp<std::uint32_t>(drive.bytesPerCluster(), 1, kMaxBlock); }

// Through a file reader, as the front ends read a file.
void readThroughDrive(CDrive& drive, const FileItem& item, std::uint64_t& budget) {
    const std::uint32_t block = blockSize(drive);
    FileReader reader(drive, item, 0);
    if (!reader.ok()) return;
    reader.willReadAll();
    std::vector<std::uint8_t> buf(block);
    for (std::uint64_t offset = 0; offset < item.size && budget > 0; offset += block) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(block, item.size - offset));
        budget -= std::min<std::uint64_t>(budget, count);
        const FileReader::Result r = reader.read(offset, MutableBytes(buf).first(count));
        check(r.bytes <= count);
        if (r.status != ReadResult::Done) break;
    }
}

// Reads the attribute from 0 in blocks of `block` bytes into `out` until a read delivers less
// than it was asked for, checking every count; at most `limit` bytes.
void readInBlocks(CInode& ino, const AttrEntry& a, std::uint64_t size, std::uint64_t block, std::uint64_t limit,
                  std::vector<std::uint8_t>& out) {
    out.clear();
    // Room past the block, so that a reader writing more than it reports would show as a count
    // above the asked length rather than as an overflow of an exact buffer.
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(block) + 16);
    for (std::uint64_t offset = 0; offset < size && offset < limit;) {
        const std::uint64_t want = std::min({block, size - offset, limit - offset});
        const std::uint64_t got = ino.read(a, offset, buf, want);
        check(got <= want);
        out.insert(out.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(got));
        if (got < want) break;
        offset += got;
    }
}

// One data stream (the unnamed one, or the named one a listed stream item stands for) read three
// ways by three fresh inodes; where two reads both delivered bytes, the bytes agree.
void checkAttribute(CDrive& drive, std::uint64_t sector, std::string_view stream, std::uint64_t& budget) {
    CInode a(drive.mft()), b(drive.mft()), c(drive.mft());
    if (!a.loadBySector(sector) || !b.loadBySector(sector) || !c.loadBySector(sector)) return;
    const AttrEntry *sa = a.findStream(stream), *sb = b.findStream(stream), *sc = c.findStream(stream);
    check(!sa == !sb && !sb == !sc);
    if (!sa || !sb || !sc) return;
    const std::uint64_t size = sa->dataSize();
    check(sb->dataSize() == size);
    const std::uint64_t limit = std::min(kMaxCheckedBytes, budget / 3);
    if (size == 0 || limit == 0) return;

    std::vector<std::uint8_t> blocks, whole, odd;
    readInBlocks(a, *sa, size, blockSize(drive), limit, blocks);
    readInBlocks(b, *sb, size, limit, limit, whole);
    // Blocks that start and end inside sectors take the reader's unaligned path.
    readInBlocks(c, *sc, size, 1000, limit, odd);
    budget -= std::min<std::uint64_t>(budget, blocks.size() + whole.size() + odd.size());

    auto same = [](const std::vector<std::uint8_t>& x, const std::vector<std::uint8_t>& y) {
        const std::size_t n = std::min(x.size(), y.size());
        return std::equal(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(n), y.begin());
    };
    check(same(blocks, whole));
    check(same(blocks, odd));

    // Reads at the end and just before it deliver no more than the attribute holds.
    std::vector<std::uint8_t> tiny(7);
    check(a.read(*sa, size, tiny, tiny.size()) == 0);
    check(a.read(*sa, size > 3 ? size - 3 : 0, tiny, tiny.size()) <= 3);
}

bool sameTable(const std::vector<AttrEntry>& x, const std::vector<AttrEntry>& y) {
    return std::equal(x.begin(), x.end(), y.begin(), y.end(), [](const AttrEntry& a, const AttrEntry& b) {
        return a.type == b.type && a.name == b.name && a.header == b.header && a.value == b.value &&
               std::equal(a.runs.begin(), a.runs.end(), b.runs.begin(), b.runs.end(), [](const DataRun& r, const DataRun& s) {
                   return r.lcn == s.lcn && r.length == s.length && r.sparse == s.sparse;
               });
    });
}

// Listing finds a record by its number, reading finds it by its sector. Where both ways come to
// the same bytes they must come to the same attributes, or a file that lists fine cannot be read.
void checkSameRecord(CDrive& drive, const FileItem& item) {
    const std::uint64_t sector = drive.sectorOfRecord(item.record);
    CInode byNumber(drive.mft()), bySector(drive.mft());
    if (!byNumber.loadByNumber(item.record) || !bySector.loadBySector(sector)) return;
    const Bytes a = byNumber.recordBytes(), b = bySector.recordBytes();
    if (!std::equal(a.begin(), a.end(), b.begin(), b.end())) return;
    check(sameTable(byNumber.attributes(), bySector.attributes()));
}

void readFile(CDrive& drive, const FileItem& item, std::uint64_t& budget) {
    if (budget == 0) return;
    readThroughDrive(drive, item, budget);
    checkAttribute(drive, item.cluster, item.stream, budget);
}

struct Pending {
    ItemList list;
    FileItem dir;  // the directory the list belongs to: the ".." of its subdirectories
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxImageBytes) return 0;
    auto image = std::make_unique<std::vector<std::uint8_t>>(data, data + size);
    if (image->size() < kMinImageBytes) image->resize(kMinImageBytes);

    MemorySources sources(std::move(*image));
    RecordingPrompts prompts;
    CQUIDNEYDoc doc(prompts, sources);
    doc.options.searchDisk = false;

    DocHost host;
    if (!doc.openDrive('N', host)) return 0;
    checkList(doc.rootList);
    if (doc.isFat() || !doc.drive().isOpen()) return 0;
    CDrive& drive = doc.drive();

    // Every directory once, however the indexes link them.
    const FileItem root = doc.rootItem();
    std::set<std::uint64_t> visited{root.record};
    std::deque<Pending> pending{{doc.rootList, root}};
    int listings = 0;
    std::uint64_t readBudget = kMaxReadBytes;
    std::vector<std::uint64_t> seenSectors;
    std::size_t compared = 0;
    while (!pending.empty()) {
        Pending p = std::move(pending.front());
        pending.pop_front();
        for (const FileItem& item : p.list) {
            if (seenSectors.size() < kMaxItemsAtSector) seenSectors.push_back(item.cluster);
            if (!item.isDotName() && compared++ < kMaxCompared) checkSameRecord(drive, item);
            if (!item.isDirectory()) {
                readFile(drive, item, readBudget);
                continue;
            }
            if (item.isDotName() || listings >= kMaxListings) continue;
            if (!visited.insert(item.record).second) continue;
            ++listings;
            if (auto sub = doc.listItem(item, p.dir)) {
                checkList(*sub);
                pending.push_back({std::move(*sub), item});
            }
        }
    }

    // The scan's hand-in: the first sectors of the volume and of the MFT, wherever "FILE" stands
    // or not. Each call adds at most one file.
    const std::uint64_t mftSector = drive.info().mftCluster * std::uint64_t{drive.info().clusterSectors()};
    for (std::uint64_t base : {std::uint64_t{0}, mftSector}) {
        for (std::uint64_t s = base; s < base + kFoundSectors && s >= base; ++s) {
            if (base != 0 && s < kFoundSectors) continue;  // done in the first pass
            const std::size_t before = doc.ntfsFileList.size();
            const bool ok = doc.addFoundDirectory(s);
            check(doc.ntfsFileList.size() <= before + 1);
            if (doc.ntfsFileList.size() > before) {
                check(ok);
                checkItem(doc.ntfsFileList.back());
            }
        }
    }
    checkList(doc.ntfsFileList);
    // The folders of what was found: every record's parent gets one, however the parents loop.
    doc.namingPass();
    for (const FileItem& item : doc.ntfsFileList) {
        const auto folder = doc.ntfsFolders.find(item.parentRecord);
        check(folder != doc.ntfsFolders.end() && !folder->second.empty());
    }
    // The runs of the table, which the scan searches besides the rest of the volume.
    for (const auto& [first, end] : drive.mft().extents())
        check(first < end && first % drive.info().clusterSectors() == 0 && end % drive.info().clusterSectors() == 0);

    for (std::uint64_t s : {mftSector, drive.sectorOfRecord(5), drive.sectorOfRecord(0)}) seenSectors.push_back(s);
    for (std::uint64_t s : seenSectors) {
        if (auto item = ntfsItemAtSector(drive.mft(), s)) {
            checkItem(*item);
            checkList(doc.streamsOf(*item));
        }
    }

    for (ListMode mode : {ID_LIST_BASICROOT, ID_LIST_SEARCHROOT, ID_LIST_LOSTDIRS, ID_LIST_ALLDIRS, ID_LIST_ALLFILES}) {
        doc.options.listMode = mode;
        checkList(doc.listForMode(mode));
    }
    drive.close();
    return 0;
}
