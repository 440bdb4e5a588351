// Directory indexes whose subnode pointers do not form a tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/strings.h"
#include "ntfs/ntfs_list.h"
#include "support/ntfs_image.h"

namespace harrow {
namespace {

constexpr int kBlocks = 8;

// The names listed in a directory whose index links its nodes as `subnode` says (see
// putIndexedDirectory), and how often the listing said the index is damaged.
std::vector<std::string> listing(const std::function<int(int, int)>& subnode, long& damageReports) {
    test::NtfsImage img;
    img.putIndexedDirectory(30, 20, 6000, kBlocks, subnode);
    img.beginRecord(20);
    // Stops a listing that runs away, so that a failure is quick.
    struct Cap : ListObserver {
        bool cancelled() override { return ++steps > 1000; }
        int steps = 0;
    } cap;
    test::OpenedNtfs o(img);
    EXPECT_TRUE(o.ok);
    auto list = listNtfsDirectory(o.drive().mft(), 30, FileItem{}, &cap);
    const auto ids = o.prompts.ids();
    damageReports = std::count(ids.begin(), ids.end(), msg::kIndexDamaged);
    std::vector<std::string> names;
    for (const auto& i : list.value_or(ItemList{}))
        if (!i.isDotName()) names.push_back(i.name);
    return names;
}

TEST(NtfsIndex, EachBlockIsWalkedOnceWhateverPointsAtIt) {
    long damage = 0;
    // Every entry of the root points at block 0, every entry of block k at block k + 1: 4^8 paths
    // down. The first one taken is kept; the rest lead nowhere and the index is said damaged.
    auto fan = listing([](int node, int) { return node + 1 < kBlocks ? node + 1 : -1; }, damage);
    std::vector<std::string> want;
    for (int k = kBlocks - 1; k >= -1; --k)
        for (char j : {'a', 'b', 'c'}) want.push_back((k < 0 ? std::string("r") : std::to_string(k)) + j);
    EXPECT_EQ(fan, want);
    EXPECT_EQ(damage, 1);

    // A sound two-level index: each block under one root entry, listed before it.
    auto tree = listing([](int node, int j) { return node < 0 ? j : -1; }, damage);
    EXPECT_EQ(tree, (std::vector<std::string>{"0a", "0b", "0c", "ra", "1a", "1b", "1c", "rb", "2a", "2b", "2c", "rc",
                                              "3a", "3b", "3c"}));
    EXPECT_EQ(damage, 0);
}

}  // namespace
}  // namespace harrow
