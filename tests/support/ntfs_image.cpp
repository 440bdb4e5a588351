#include "support/ntfs_image.h"

#include <algorithm>
#include <memory>
#include <optional>

namespace harrow::test {
namespace {

void putName(std::vector<std::uint8_t>& v, std::size_t at, const std::u16string& name) {
    for (std::size_t i = 0; i < name.size(); ++i) storeLe<std::uint16_t>(MutableBytes(v), at + 2 * i, name[i]);
}

void fixup(MutableBytes r, std::size_t usnOffset) {
    storeLe<std::uint16_t>(r, usnOffset, 0x0042);
    for (std::size_t i = 0; i < r.size() / 512; ++i) {
        std::size_t end = (i + 1) * 512 - 2;
        r[usnOffset + 2 + 2 * i] = r[end];
        r[usnOffset + 3 + 2 * i] = r[end + 1];
        storeLe<std::uint16_t>(r, end, 0x0042);
    }
}

}  // namespace

OpenedNtfs::OpenedNtfs(NtfsImage& img) : sources((img.finish(), img.bytes)), doc(prompts, sources) {
    doc.options.searchDisk = false;
    DocHost host;
    opened = doc.openDrive('N', host);
    ok = opened;
}

std::vector<std::uint8_t> join(const std::vector<std::vector<std::uint8_t>>& parts) {
    std::vector<std::uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

NtfsImage::NtfsImage(std::uint32_t totalSectors) : bytes(std::size_t{totalSectors} * 512, 0) {
    MutableBytes b(bytes);
    std::copy_n("NTFS    ", 8, b.begin() + 3);
    storeLe<std::uint16_t>(b, 0x0B, 512);
    b[0x0D] = 1;
    storeLe<std::uint64_t>(b, 0x28, totalSectors);
    storeLe<std::uint64_t>(b, 0x30, kMftCluster);
    storeLe<std::uint32_t>(b, 0x40, 0xF6);
    storeLe<std::uint32_t>(b, 0x44, 0xF6);
    // $MFT: 64 records, 128 clusters from cluster 64.
    beginRecord(0);
    addAttribute(0, nonResident(0x80, u"", {0x21, 0x80, kMftCluster, 0x00, 0x00}, 0, 127, kRecords * kRecordBytes));
}

MutableBytes NtfsImage::record(std::uint32_t n) {
    return MutableBytes(bytes).subspan(std::size_t{kMftCluster} * 512 + std::size_t{n} * kRecordBytes, kRecordBytes);
}

MutableBytes NtfsImage::cluster(std::uint64_t c, std::uint32_t count) {
    return MutableBytes(bytes).subspan(static_cast<std::size_t>(c * 512), std::size_t{count} * 512);
}

void NtfsImage::beginRecord(std::uint32_t n, std::uint16_t flags) {
    MutableBytes r = record(n);
    std::fill(r.begin(), r.end(), 0);
    std::copy_n("FILE", 4, r.begin());
    storeLe<std::uint16_t>(r, 0x04, 0x30);
    storeLe<std::uint16_t>(r, 0x06, 3);
    storeLe<std::uint16_t>(r, 0x14, 0x38);
    storeLe<std::uint16_t>(r, 0x16, flags);
    storeLe<std::uint32_t>(r, 0x18, 0x40);  // bytes in use, kept up to date below
    storeLe<std::uint32_t>(r, 0x1C, kRecordBytes);
    storeLe<std::uint32_t>(r, 0x2C, n);
    storeLe<std::uint32_t>(r, 0x38, 0xFFFFFFFF);
    if (std::find(begun_.begin(), begun_.end(), n) == begun_.end()) begun_.push_back(n);
}

void NtfsImage::addAttribute(std::uint32_t n, const std::vector<std::uint8_t>& a) {
    MutableBytes r = record(n);
    std::size_t p = le16(r, 0x14);
    while (le32(r, p) != 0xFFFFFFFF) p += le32(r, p + 4);
    std::copy(a.begin(), a.end(), r.begin() + static_cast<std::ptrdiff_t>(p));
    storeLe<std::uint32_t>(r, p + a.size(), 0xFFFFFFFF);
    storeLe<std::uint32_t>(r, 0x18, static_cast<std::uint32_t>(p + a.size() + 8));
}

void NtfsImage::finish() {
    for (std::uint32_t n : begun_) fixup(record(n), 0x30);
    begun_.clear();
}

std::vector<std::uint8_t> NtfsImage::resident(std::uint32_t type, const std::u16string& name, const std::vector<std::uint8_t>& value) {
    std::size_t nameAt = 0x18, valueAt = (nameAt + 2 * name.size() + 7) & ~std::size_t{7};
    std::size_t length = (valueAt + value.size() + 7) & ~std::size_t{7};
    std::vector<std::uint8_t> a(length, 0);
    MutableBytes b(a);
    storeLe<std::uint32_t>(b, 0x00, type);
    storeLe<std::uint32_t>(b, 0x04, static_cast<std::uint32_t>(length));
    b[0x09] = static_cast<std::uint8_t>(name.size());
    storeLe<std::uint16_t>(b, 0x0A, static_cast<std::uint16_t>(nameAt));
    storeLe<std::uint32_t>(b, 0x10, static_cast<std::uint32_t>(value.size()));
    storeLe<std::uint16_t>(b, 0x14, static_cast<std::uint16_t>(valueAt));
    putName(a, nameAt, name);
    std::copy(value.begin(), value.end(), a.begin() + static_cast<std::ptrdiff_t>(valueAt));
    return a;
}

std::vector<std::uint8_t> NtfsImage::nonResident(std::uint32_t type, const std::u16string& name, const std::vector<std::uint8_t>& runs,
                                                 std::uint64_t firstVcn, std::uint64_t lastVcn, std::uint64_t dataSize,
                                                 std::uint64_t initializedSize, std::uint16_t flags) {
    std::size_t nameAt = 0x48, runsAt = (nameAt + 2 * name.size() + 7) & ~std::size_t{7};
    std::size_t length = (runsAt + runs.size() + 1 + 7) & ~std::size_t{7};
    std::vector<std::uint8_t> a(length, 0);
    MutableBytes b(a);
    storeLe<std::uint32_t>(b, 0x00, type);
    storeLe<std::uint32_t>(b, 0x04, static_cast<std::uint32_t>(length));
    b[0x08] = 1;
    b[0x09] = static_cast<std::uint8_t>(name.size());
    storeLe<std::uint16_t>(b, 0x0A, static_cast<std::uint16_t>(nameAt));
    storeLe<std::uint16_t>(b, 0x0C, flags);
    storeLe<std::uint64_t>(b, 0x10, firstVcn);
    storeLe<std::uint64_t>(b, 0x18, lastVcn);
    storeLe<std::uint16_t>(b, 0x20, static_cast<std::uint16_t>(runsAt));
    b[0x22] = flags ? 4 : 0;
    storeLe<std::uint64_t>(b, 0x28, (lastVcn + 1) * 512);
    storeLe<std::uint64_t>(b, 0x30, dataSize);
    storeLe<std::uint64_t>(b, 0x38, initializedSize == ~0ull ? dataSize : initializedSize);
    putName(a, nameAt, name);
    std::copy(runs.begin(), runs.end(), a.begin() + static_cast<std::ptrdiff_t>(runsAt));
    return a;
}

std::vector<std::uint8_t> NtfsImage::fileName(std::uint64_t parent, const std::u16string& name, std::uint8_t ns, std::uint64_t size) {
    std::vector<std::uint8_t> v(0x42 + 2 * name.size(), 0);
    MutableBytes b(v);
    storeLe<std::uint64_t>(b, 0x00, parent | (1ull << 48));
    storeLe<std::uint64_t>(b, 0x10, 132000000000000000ull);  // 2019-04-14
    storeLe<std::uint64_t>(b, 0x30, size);
    b[0x40] = static_cast<std::uint8_t>(name.size());
    b[0x41] = ns;
    putName(v, 0x42, name);
    return v;
}

std::vector<std::uint8_t> NtfsImage::standardInfo(std::uint64_t modified, std::uint8_t dosAttributes) {
    std::vector<std::uint8_t> v(72, 0);
    storeLe<std::uint64_t>(MutableBytes(v), 0x08, modified);
    v[0x20] = dosAttributes;
    return v;
}

std::vector<std::uint8_t> NtfsImage::indexEntry(std::uint64_t record, std::uint64_t parent, const std::u16string& name, bool last,
                                                std::optional<std::uint64_t> subnodeVcn, std::uint8_t ns) {
    std::vector<std::uint8_t> key = last ? std::vector<std::uint8_t>{} : fileName(parent, name, ns, 100 + record);
    std::size_t length = (0x10 + key.size() + 7) & ~std::size_t{7};
    if (subnodeVcn) length += 8;
    std::vector<std::uint8_t> e(length, 0);
    MutableBytes b(e);
    if (!last) storeLe<std::uint64_t>(b, 0x00, record | (1ull << 48));
    storeLe<std::uint16_t>(b, 0x08, static_cast<std::uint16_t>(length));
    storeLe<std::uint16_t>(b, 0x0A, static_cast<std::uint16_t>(key.size()));
    b[0x0C] = static_cast<std::uint8_t>((subnodeVcn ? 1 : 0) | (last ? 2 : 0));
    std::copy(key.begin(), key.end(), e.begin() + 0x10);
    if (subnodeVcn) storeLe<std::uint64_t>(b, length - 8, *subnodeVcn);
    return e;
}

std::vector<std::uint8_t> NtfsImage::indexRoot(const std::vector<std::vector<std::uint8_t>>& entries, bool large) {
    std::vector<std::uint8_t> body = join(entries);
    std::vector<std::uint8_t> v(32 + body.size(), 0);
    std::copy(body.begin(), body.end(), v.begin() + 32);
    MutableBytes b(v);
    storeLe<std::uint32_t>(b, 0x00, 0x30);
    storeLe<std::uint32_t>(b, 0x04, 1);
    storeLe<std::uint32_t>(b, 0x08, 1024);
    storeLe<std::uint32_t>(b, 0x0C, 2);
    storeLe<std::uint32_t>(b, 0x10, 0x10);
    storeLe<std::uint32_t>(b, 0x14, static_cast<std::uint32_t>(0x10 + body.size()));
    storeLe<std::uint32_t>(b, 0x18, static_cast<std::uint32_t>(0x10 + body.size()));
    b[0x1C] = large ? 1 : 0;
    return v;
}

void NtfsImage::putIndexRecord(std::uint64_t c, std::uint64_t vcn, const std::vector<std::vector<std::uint8_t>>& entries) {
    MutableBytes r = cluster(c, 2);
    std::fill(r.begin(), r.end(), 0);
    std::copy_n("INDX", 4, r.begin());
    storeLe<std::uint16_t>(r, 0x04, 0x28);
    storeLe<std::uint16_t>(r, 0x06, 3);
    storeLe<std::uint64_t>(r, 0x10, vcn);
    std::vector<std::uint8_t> body = join(entries);
    storeLe<std::uint32_t>(r, 0x18, 0x28);
    storeLe<std::uint32_t>(r, 0x1C, static_cast<std::uint32_t>(0x28 + body.size()));
    storeLe<std::uint32_t>(r, 0x20, 1024 - 0x18);
    std::copy(body.begin(), body.end(), r.begin() + 0x40);
    fixup(r, 0x28);
}

void NtfsImage::putIndexedDirectory(std::uint32_t dir, std::uint32_t file, std::uint64_t firstCluster, int blocks,
                                    const std::function<int(int, int)>& subnode) {
    auto node = [&](int n) {
        const char16_t prefix = n < 0 ? u'r' : static_cast<char16_t>(u'0' + n);
        std::vector<std::vector<std::uint8_t>> entries;
        for (int j = 0; j < 4; ++j) {
            const int below = subnode(n, j);
            const auto vcn = below < 0 ? std::nullopt : std::optional<std::uint64_t>(2 * below);
            entries.push_back(indexEntry(j < 3 ? file : 0, dir, j < 3 ? std::u16string{prefix, static_cast<char16_t>(u'a' + j)} : u"",
                                         j == 3, vcn));
        }
        return entries;
    };
    const auto clusters = static_cast<std::uint8_t>(2 * blocks);
    beginRecord(dir, 3);
    addAttribute(dir, resident(0x90, u"$I30", indexRoot(node(-1), true)));
    addAttribute(dir, nonResident(0xA0, u"$I30",
                                  {0x31, clusters, static_cast<std::uint8_t>(firstCluster), static_cast<std::uint8_t>(firstCluster >> 8),
                                   static_cast<std::uint8_t>(firstCluster >> 16)},
                                  0, clusters - 1u, clusters * 512u));
    for (int k = 0; k < blocks; ++k) putIndexRecord(firstCluster + 2 * k, 2 * k, node(k));
}

}  // namespace harrow::test
