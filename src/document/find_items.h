// Searching a volume for the items a filter keeps: the root's tree, deleted directories
// included, and after a scan what only the scan found. Every item comes with the path by which
// an ITEM names it, so that what a search finds can be saved as it was found.
#pragma once

#include <cstddef>
#include <string>

#include "document/document.h"
#include "document/item_filter.h"

namespace harrow {

// What a front end sees of a search: each item kept, how many were looked at (progress), and
// whether to stop (cancelled).
class FindObserver : public ListObserver {
public:
    // An item the filter keeps, its ItemState bits. False stops the search.
    virtual bool found(const FileItem& item, const std::string& path, unsigned states) = 0;
    // A directory the search went into but could not list.
    virtual void listFailed(const FileItem& /*dir*/, const std::string& /*path*/, unsigned /*states*/) {}
};

struct FindSummary {
    std::size_t examined = 0;
    std::size_t matched = 0;
    bool stopped = false;  // the observer stopped the search, or the source was lost
};

// Searches the whole open volume: the root's tree, then (after a scan) each found directory that
// no walk entered, as "@N" with everything below it, and on NTFS each found file record that the
// root's tree did not show, as "@N" with its named streams. Items of the second part are lost.
FindSummary findItems(CQUIDNEYDoc& doc, const ItemFilter& filter, FindObserver& observer);

// Searches `items`, the listing of directory `dir` at `path`, and everything below them; the
// items' states start from `states` (a deleted or lost directory passes that on to what it holds).
FindSummary findBelow(CQUIDNEYDoc& doc, const ItemFilter& filter, ItemList items, const FileItem& dir,
                      const std::string& path, unsigned states, FindObserver& observer);

}  // namespace harrow
