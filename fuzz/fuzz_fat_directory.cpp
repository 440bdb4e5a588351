// A whole FAT volume from the fuzzer, opened the way the front ends open one: root list, every
// directory listed, every file read block by block, then the scan's hand-in of found directories,
// their naming, and the view's lists. Damaged volumes are this program's daily input, so none of
// it may read out of bounds, trip UBSan, or run away in time.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <vector>

#include "fuzz_checks.h"
#include "common/prompts.h"
#include "common/text.h"
#include "fatfs/directory.h"
#include "document/document.h"
#include "document/drive.h"
#include "document/file_reader.h"
#include "scan/disk_scan.h"
#include "volume/memory_source.h"

using namespace harrow;
using namespace harrow::fuzz;

namespace {

constexpr std::size_t kMaxImageBytes = 4 << 20;
constexpr std::size_t kMinImageBytes = 512;
// Budgets per input, so that one input costs milliseconds however it is built.
constexpr int kMaxListings = 200;
constexpr std::uint64_t kMaxReadBytes = 1 << 20;
constexpr std::size_t kFoundListings = 100;

// Reads the file in cluster-sized pieces and at odd places; where it can be read whole, the
// pieces must be the same bytes.
void readFile(CDrive& drive, const FileItem& item, FatIndex fat, std::uint64_t& budget) {
    const std::uint32_t block = drive.bytesPerCluster();
    FileReader reader(drive, item, fat);
    if (block == 0 || !reader.ok() || budget == 0) return;
    const std::uint64_t size = std::min<std::uint64_t>(item.size, budget);
    budget -= size;
    std::vector<std::uint8_t> whole(static_cast<std::size_t>(size)), piece(block);
    // As saving reads: the source is told where the reads lead.
    reader.willReadAll();
    const FileReader::Result all = reader.read(0, whole);
    check(all.bytes <= whole.size() && (all.status == ReadResult::Done) == (all.bytes == whole.size()));
    for (std::uint64_t offset = 0; offset < size; offset += block) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(block, size - offset));
        const FileReader::Result r = reader.read(offset, MutableBytes(piece).first(count));
        if (r.status != ReadResult::Done) break;
        if (offset + count <= all.bytes) check(std::equal(piece.begin(), piece.begin() + count, whole.begin() + offset));
    }
    if (size > 3) check(reader.read(size / 3, MutableBytes(piece).first(std::min<std::size_t>(3, piece.size()))).bytes <= 3);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxImageBytes) return 0;
    auto image = std::make_unique<std::vector<std::uint8_t>>(data, data + size);
    if (image->size() < kMinImageBytes) image->resize(kMinImageBytes);
    // Bytes the boot sector leaves to boot code choose the options, so seeds from mkfs.fat
    // start with the defaults.
    const std::uint8_t options = size > 0x1F0 ? data[0x1F0] : 0;

    MemorySources sources(std::move(*image));
    RecordingPrompts prompts;
    CQUIDNEYDoc doc(prompts, sources);
    doc.options.searchDisk = false;
    doc.options.dirFat = (options & 1) ? kNoFat : 0;
    doc.options.showDeleted = (options & 2) == 0;
    const FatIndex readFat = (options & 4) ? kNoFat : 0;

    DocHost host;
    if (!doc.openDrive('F', host)) return 0;
    checkList(doc.rootList);
    if (!doc.isFat() || !doc.drive().isOpen()) return 0;
    CDrive& drive = doc.drive();

    // Every directory once, however the volume links them.
    std::set<std::uint32_t> visited{directoryCluster(drive.info(), drive.info().rootCluster)};
    std::deque<ItemList> pending{doc.rootList};
    int listings = 0;
    std::uint64_t readBudget = kMaxReadBytes;
    while (!pending.empty()) {
        ItemList list = std::move(pending.front());
        pending.pop_front();
        for (const FileItem& item : list) {
            if (!item.isDirectory()) {
                readFile(drive, item, readFat, readBudget);
                continue;
            }
            if (item.isDotName() || listings >= kMaxListings) continue;
            if (!visited.insert(directoryCluster(drive.info(), item.firstCluster())).second) continue;
            ++listings;
            if (auto sub = doc.listItem(item, doc.rootItem())) {
                checkList(*sub);
                pending.push_back(std::move(*sub));
            }
        }
    }

    // The scan hands clusters in in ascending order and joins the later clusters of lost
    // directories to them; the found list must stay sorted and without repeats, since every
    // lookup in it is a binary search. Every found directory is listed, through what was joined.
    ScanObserver quiet;
    runDiskScan(doc, quiet);
    doc.matchFoundToRoot();
    doc.namingPass();
    for (std::size_t i = 1; i < doc.foundList.size(); ++i)
        check(doc.foundList[i - 1].firstCluster() < doc.foundList[i].firstCluster());
    checkList(doc.foundList);
    for (std::size_t i = 0; i < doc.foundList.size() && i < kFoundListings; ++i)
        if (auto sub = doc.listItem(doc.foundList[i], doc.rootItem())) checkList(*sub);

    for (ListMode mode : {ID_LIST_BASICROOT, ID_LIST_SEARCHROOT, ID_LIST_LOSTDIRS, ID_LIST_ALLDIRS, ID_LIST_ALLFILES}) {
        doc.options.listMode = mode;
        const ItemList shown = doc.listForMode(mode);
        checkList(shown);
        switch (mode) {
            case ID_LIST_SEARCHROOT:
                for (const FileItem& item : shown) check(item.parentCluster == 0);
                break;
            case ID_LIST_LOSTDIRS:
                for (const FileItem& item : shown)
                    check(item.kind == ITEM_LOSTDIR || item.kind == ITEM_LOSTSUBDIR || item.kind == ITEM_RENAMEDDIR);
                break;
            case ID_LIST_ALLDIRS:
                check(shown.size() == doc.foundList.size());
                break;
            default:
                break;
        }
        // Listing in the other modes looks kinds and names up in the found list.
        if (mode != ID_LIST_BASICROOT && !doc.rootList.empty()) {
            for (const FileItem& item : doc.rootList) {
                if (!item.isDirectory() || item.isDotName()) continue;
                if (auto sub = doc.listItem(item, doc.rootItem())) checkList(*sub);
                break;
            }
        }
    }
    drive.close();
    return 0;
}
