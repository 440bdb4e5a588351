#include "document/find_items.h"

#include <algorithm>
#include <unordered_set>
#include <vector>

#include "document/item_path.h"
#include "document/tree_walk.h"

namespace harrow {
namespace {

// Progress is told every so many items: a walk of a volume looks at millions.
constexpr std::size_t kProgressEvery = 256;

class Search : public TreeVisitor {
public:
    Search(CQUIDNEYDoc& doc, const ItemFilter& filter, FindObserver& observer)
        : doc_(doc), filter_(filter), observer_(observer), fat_(doc.isFat() ? &doc.drive().fat() : nullptr) {}

    // The paths an ITEM reads back: escapes where a name needs them, the directory's own dots bare.
    std::vector<std::string> pathNames(const ItemList& items, std::size_t ownDots) override {
        return harrow::pathNames(items, ownDots);
    }

    bool visit(const FileItem& item, const std::string& path, int) override {
        // A directory's own "." and ".." are no items of their own (an item merely so named is
        // written "\." and kept).
        if (path.ends_with("/.") || path.ends_with("/..")) return true;
        return offer(item, path, statesOf(item));
    }

    bool enter(const FileItem& dir, const std::string&, int) override {
        heldBy_.push_back(statesOf(dir));
        return true;
    }
    void leave(const FileItem&) override {
        if (!heldBy_.empty()) heldBy_.pop_back();
    }
    void listFailed(const FileItem& dir, const std::string& path) override {
        observer_.listFailed(dir, path, statesOf(dir));
    }

    // The item examined and, if the filter keeps it, told; false when the search is to stop.
    bool offer(const FileItem& item, const std::string& path, unsigned states) {
        if (++summary.examined % kProgressEvery == 0) observer_.progress(summary.examined);
        if (remember_ && !item.isStream()) shown_.insert(item.record);
        if (filter_.matches(item, states, fat_)) {
            ++summary.matched;
            if (!observer_.found(item, path, states)) summary.stopped = true;
        }
        if (observer_.cancelled()) summary.stopped = true;
        return !summary.stopped;
    }

    // An item's states: its own, and those the directory holding it passes on.
    unsigned statesOf(const FileItem& item) const {
        unsigned s = heldBy_.empty() ? base : heldBy_.back() & (STATE_DELETED | STATE_LOST);
        if (item.deleted) s |= STATE_DELETED;
        if (item.kind == ITEM_SAVEDFILE) s |= STATE_SAVED;
        if (!(s & (STATE_DELETED | STATE_LOST))) s |= STATE_LIVE;
        return s;
    }

    // Remembers the records the walk shows (NTFS), to tell the scan's records no directory shows.
    void rememberRecords() { remember_ = true; }
    bool shown(const FileItem& item) const { return shown_.count(item.record) != 0; }

    unsigned base = 0;  // the states of the directory a walk starts from
    FindSummary summary;

private:
    CQUIDNEYDoc& doc_;
    const ItemFilter& filter_;
    FindObserver& observer_;
    const FatTable* fat_;
    std::vector<unsigned> heldBy_;  // the states of each directory entered, innermost last
    bool remember_ = false;
    std::unordered_set<std::uint64_t> shown_;
};

FindSummary finished(Search& search, CQUIDNEYDoc& doc) {
    if (doc.drive().sourceLost()) search.summary.stopped = true;
    return search.summary;
}

}  // namespace

FindSummary findBelow(CQUIDNEYDoc& doc, const ItemFilter& filter, ItemList items, const FileItem& dir,
                      const std::string& path, unsigned states, FindObserver& observer) {
    Search search(doc, filter, observer);
    search.base = states & (STATE_DELETED | STATE_LOST);
    TreeWalk walk(doc, search);
    walk.walk(std::move(items), dir, path);
    return finished(search, doc);
}

FindSummary findItems(CQUIDNEYDoc& doc, const ItemFilter& filter, FindObserver& observer) {
    Search search(doc, filter, observer);
    if (!doc.ntfsFileList.empty()) search.rememberRecords();
    TreeWalk walk(doc, search);
    if (!walk.walk(doc.listForMode(ID_LIST_BASICROOT), doc.rootItem(), "")) return finished(search, doc);

    // FAT: the found directories no walk entered, each the top of a lost tree. Those whose parent
    // is another found directory come last, so that a lost tree is searched from its top and its
    // items have the paths below it.
    // A copy: listing a found directory may add to the document's list.
    std::vector<FileItem> tops = doc.foundList;
    std::unordered_set<std::uint64_t> found;
    for (const FileItem& dir : tops) found.insert(dir.cluster);
    std::stable_partition(tops.begin(), tops.end(), [&](const FileItem& d) { return !found.count(d.parentCluster); });
    search.base = STATE_LOST;
    for (const FileItem& dir : tops) {
        if (walk.entered(dir)) continue;
        const std::string path = "@" + std::to_string(dir.cluster);
        if (!search.offer(dir, path, search.statesOf(dir))) return finished(search, doc);
        auto list = doc.listItem(dir, doc.rootItem());
        if (doc.drive().sourceLost()) return finished(search, doc);
        if (!list) {
            search.listFailed(dir, path);
            continue;
        }
        if (!walk.walk(std::move(*list), dir, path)) return finished(search, doc);
    }

    // NTFS: the file records no directory shows, by their sectors, and their named streams.
    for (std::size_t i = 0; i < doc.ntfsFileList.size(); ++i) {
        const FileItem record = doc.ntfsFileList[i];
        if (search.shown(record)) continue;
        const std::string path = "@" + std::to_string(record.cluster);
        if (!search.offer(record, path, search.statesOf(record))) return finished(search, doc);
        for (const FileItem& stream : doc.streamsOf(record))
            if (!search.offer(stream, path + ":" + pathName(stream.stream), search.statesOf(stream)))
                return finished(search, doc);
        if (doc.drive().sourceLost()) return finished(search, doc);
    }
    return finished(search, doc);
}

}  // namespace harrow
