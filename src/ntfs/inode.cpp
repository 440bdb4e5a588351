#include "ntfs/inode.h"

#include <algorithm>

#include "common/text.h"
#include "ntfs/lznt1.h"

namespace harrow {
namespace {

// Attribute lists are at most a few hundred KiB on real volumes.
constexpr std::uint64_t kMaxAttributeList = 4u << 20;
// Compression is only ever used with clusters up to 4 KiB; a larger unit is a damaged header.
constexpr std::uint64_t kMaxUnitBytes = 4u << 20;

bool nameMatches(const std::u16string& have, std::string_view want) {
    if (have.size() != want.size()) return false;
    for (std::size_t i = 0; i < want.size(); ++i)
        if (have[i] != static_cast<unsigned char>(want[i])) return false;
    return true;
}

}  // namespace

std::uint32_t AttrEntry::unitClusters() const {
    std::uint8_t shift = header[attr::kCompressionUnit];
    return shift >= 1 && shift <= 8 ? 1u << shift : 16u;
}

void CInode::reset() {
    number_ = kNoRecord;
    record_.clear();
    table_.clear();
    visited_.clear();
    unitIndex_ = ~0ull;
    unitAttr_ = nullptr;
    unitData_.clear();
    gather_.clear();
}

std::uint64_t CInode::headerRecordNumber() const {
    if (!loaded() || le16(record_, frec::kUsaOffset) < 0x30) return kNoRecord;
    return le32(record_, frec::kRecordNumber);
}

bool CInode::loadByNumber(std::uint64_t number) {
    reset();
    const DriveInfo& info = volume_.info();
    number_ = number;
    record_.assign(info.bytesPerFileRecord, 0);
    if (record_.empty() || !mft_.readRecord(number, record_)) {
        reset();
        return false;
    }
    if (!parseAttributes(number)) {
        table_.clear();
        visited_.clear();
    }
    number_ = number;
    return true;
}

bool CInode::loadBySector(std::uint64_t sector) {
    reset();
    const DriveInfo& info = volume_.info();
    std::vector<std::uint8_t> record(info.bytesPerFileRecord, 0);
    if (record.empty()) return false;
    const auto split = mft_.splitRecordAt(sector);
    if (split ? !mft_.readRawRecord(*split, record) : !volume_.readSectors(record, sector, info.sectorsPerFileRecord))
        return false;
    return loadFromBytes(record);
}

bool CInode::loadFromBytes(Bytes bytes) {
    reset();
    const DriveInfo& info = volume_.info();
    if (info.bytesPerFileRecord == 0 || bytes.size() < info.bytesPerFileRecord) return false;
    record_.assign(bytes.begin(), bytes.begin() + info.bytesPerFileRecord);
    if (!repairFileRecord(record_)) {
        reset();
        return false;
    }
    if (!parseAttributes(std::nullopt)) {
        table_.clear();
        visited_.clear();
    }
    return true;
}

bool CInode::parseAttributes(std::optional<std::uint64_t> baseKey) {
    if (!walkRecord(record_, baseKey)) return false;
    const AttrEntry* list = find(AT_ATTRIBUTE_LIST);
    if (!list) return true;
    std::vector<std::uint8_t> value;
    if (!list->nonResident()) {
        value = list->value;
    } else {
        std::uint64_t size = list->dataSize();
        if (size == 0 || size > kMaxAttributeList) return false;
        value.assign(static_cast<std::size_t>(size) + volume_.info().bytesPerSector, 0);
        std::uint64_t got = read(AT_ATTRIBUTE_LIST, std::nullopt, 0, value, size);
        if (got == 0) return false;
        value.resize(static_cast<std::size_t>(got));
    }
    return walkList(value);
}

//  list entry:  0x00 type   0x04 length (16)   0x06 name length   0x07 name offset
//               0x08 first VCN   0x10 file reference (48-bit record number)   0x18 attribute id
bool CInode::walkList(Bytes list) {
    std::optional<std::uint64_t> previous;
    std::vector<std::uint8_t> scratch(volume_.info().bytesPerFileRecord);
    for (std::size_t pos = 0; fits(list.size(), pos, 0x18);) {
        std::uint16_t length = le16(list, pos + 0x04);
        if (length == 0) break;
        std::uint64_t r = le64(list, pos + 0x10) & 0x0000FFFFFFFFFFFFull;
        if (r != previous) {
            if (!mft_.readRecord(r, scratch)) return false;
            // The list names the base record too. Loaded by number it is already visited; loaded
            // by sector its number is unknown, so know it by its bytes, or its extents would be
            // appended a second time and the whole table lost.
            if (std::equal(scratch.begin(), scratch.end(), record_.begin(), record_.end())) {
                visited_.push_back(r);
            } else if (!walkRecord(scratch, r)) {
                return false;
            }
            previous = r;
        }
        pos += length;
    }
    return true;
}

bool CInode::walkRecord(Bytes record, std::optional<std::uint64_t> key) {
    if (key) {
        if (std::find(visited_.begin(), visited_.end(), *key) != visited_.end()) return true;
        visited_.push_back(*key);
    }
    std::size_t p = le16(record, frec::kFirstAttribute);
    for (;;) {
        if (p >= record.size()) return false;
        if (le32(record, p) == attr::kEnd) return true;
        std::uint32_t length = le32(record, p + attr::kLength);
        if (length == 0 || !fits(record.size(), p, length)) return false;
        if (!insert(record.subspan(p, length))) return false;
        p += length;
    }
}

bool CInode::insert(Bytes h) {
    unitIndex_ = ~0ull;  // the table changes: the cached unit may belong to a moved entry
    unitAttr_ = nullptr;
    if (h.size() < 0x10) return false;
    const std::uint32_t type = le32(h, attr::kType);
    const std::size_t nameLength = le8(h, attr::kNameLength);
    const std::size_t nameOffset = le8(h, attr::kNameOffset);
    if (!fits(h.size(), nameOffset, 2 * nameLength)) return false;
    std::u16string name;
    for (std::size_t i = 0; i < nameLength; ++i) name += static_cast<char16_t>(le16(h, nameOffset + 2 * i));
    const bool nonResident = le8(h, attr::kNonResident) != 0;

    auto where = table_.end();
    AttrEntry* duplicate = nullptr;
    for (auto it = table_.begin(); it != table_.end(); ++it) {
        std::size_t common = std::min(it->name.size(), name.size());
        bool prefixEqual = std::equal(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(common), it->name.begin());
        if (it->type == type && it->name.size() == name.size() && prefixEqual) {
            duplicate = &*it;
            where = it;
            break;
        }
        if (type < it->type || (it->type == type && !prefixEqual)) {
            where = it;
            break;
        }
    }

    if (duplicate && type != AT_FILE_NAME) {
        // A further extent of an attribute already in the table.
        if (!nonResident) return true;
        if (!duplicate->nonResident()) return false;
        return appendExtent(*duplicate, h);
    }
    // Every file name stays: the one met last stands first.
    AttrEntry e;
    e.type = type;
    e.name = std::move(name);
    std::copy_n(h.begin(), std::min(h.size(), e.header.size()), e.header.begin());
    if (!nonResident) {
        std::uint32_t valueLength = le32(h, attr::kValueLength);
        std::uint16_t valueOffset = le16(h, attr::kValueOffset);
        if (!fits(h.size(), valueOffset, valueLength)) return false;
        e.value.assign(h.begin() + valueOffset, h.begin() + valueOffset + valueLength);
        table_.insert(where, std::move(e));
        return true;
    }
    if (!appendExtent(e, h)) return false;
    table_.insert(where, std::move(e));
    return true;
}

bool CInode::appendExtent(AttrEntry& e, Bytes h) {
    std::uint64_t total = 0;
    for (const DataRun& r : e.runs) total += r.length;
    const std::uint64_t firstVcn = le64(h, attr::kFirstVcn);
    if (firstVcn != total) return false;  // the extent does not continue the runs
    std::uint64_t last = le64(h, attr::kLastVcn);
    const std::uint32_t cs = volume_.bytesPerCluster();
    if (last == 0 && cs != 0) last = (le64(h, attr::kAllocatedSize) - 1) / cs;
    std::size_t p = le16(h, attr::kRunOffset);
    if (p > h.size()) return false;
    std::int64_t lcn = 0;
    // An empty attribute says its last VCN is -1; the list's terminating zero ends it in any case.
    for (std::uint64_t vcn = firstVcn; vcn <= last && static_cast<std::int64_t>(last) >= 0;) {
        if (p >= h.size() || h[p] == 0) break;
        auto run = decodeRun(h.subspan(p), lcn);
        if (!run) return false;
        e.runs.push_back(DataRun{lcn, run->length, run->sparse});
        p += run->consumed;
        if (vcn + run->length < vcn) break;
        vcn += run->length;
    }
    return true;
}

const AttrEntry* CInode::find(std::uint32_t type, std::optional<std::string_view> name) const {
    for (const AttrEntry& e : table_) {
        if (e.type > type) return nullptr;
        if (e.type == type && (name ? nameMatches(e.name, *name) : e.name.empty())) return &e;
    }
    return nullptr;
}

std::vector<const AttrEntry*> CInode::namedStreams() const {
    std::vector<const AttrEntry*> streams;
    for (const AttrEntry& e : table_)
        if (e.type == AT_DATA && !e.name.empty()) streams.push_back(&e);
    return streams;
}

const AttrEntry* CInode::findStream(std::string_view name) const {
    if (name.empty()) return find(AT_DATA);
    for (const AttrEntry* e : namedStreams())
        if (utf8FromUtf16(e->name) == name) return e;
    return nullptr;
}

std::uint64_t CInode::attributeSize(std::uint32_t type, std::optional<std::string_view> name) const {
    const AttrEntry* a = find(type, name);
    return a ? a->dataSize() : 0;
}

std::uint64_t CInode::read(std::uint32_t type, std::optional<std::string_view> name, std::uint64_t offset,
                           MutableBytes out, std::uint64_t length) {
    const AttrEntry* a = find(type, name);
    return a ? read(*a, offset, out, length) : 0;
}

std::uint64_t CInode::read(const AttrEntry& a, std::uint64_t offset, MutableBytes out, std::uint64_t length) {
    const std::uint64_t size = a.dataSize();
    if (offset > size) return 0;
    std::uint64_t count = std::min({length, size - offset, std::uint64_t{out.size()}});
    if (count == 0) return 0;
    if (!a.nonResident()) {
        std::copy_n(a.value.begin() + static_cast<std::ptrdiff_t>(offset), count, out.begin());
        return count;
    }
    return a.compressed() ? readCompressed(a, offset, out, count) : readUncompressed(a, offset, out, count);
}

CInode::Extents CInode::sectorsOf(const AttrEntry& a, std::uint64_t offset, std::size_t most, std::uint64_t length) const {
    Extents out;
    const std::uint64_t cs = volume_.bytesPerCluster(), bps = volume_.info().bytesPerSector;
    out.end = std::min(a.dataSize(), offset + std::min(length, UINT64_MAX - offset));
    if (!a.nonResident() || cs == 0 || bps == 0 || cs % bps != 0) return out;
    const std::uint64_t spc = cs / bps;
    // A compressed value is read a unit at a time, from the unit's start; an uncompressed one
    // not past its initialized size.
    std::uint64_t end = out.end;
    if (const std::uint64_t unit = std::uint64_t{a.unitClusters()} * cs; a.compressed() && unit != 0)
        offset = offset / unit * unit;
    else if (!a.compressed())
        end = std::min(end, a.initializedSize());
    std::uint64_t vcn = 0;
    for (const DataRun& run : a.runs) {
        if (run.length > UINT64_MAX / cs - vcn) break;
        const std::uint64_t runStart = vcn * cs, runEnd = (vcn + run.length) * cs;
        vcn += run.length;
        if (runEnd <= offset || run.sparse || run.lcn < 0) continue;
        if (runStart >= end) break;
        const auto lcn = static_cast<std::uint64_t>(run.lcn);
        if (lcn > UINT64_MAX / spc / 2 - run.length) break;
        const std::uint64_t from = std::max(offset, runStart) - runStart, to = std::min(end, runEnd) - runStart;
        const std::uint64_t first = lcn * spc + from / bps, last = lcn * spc + (to + bps - 1) / bps;
        if (!out.extents.empty() && out.extents.back().first + out.extents.back().count == first) {
            out.extents.back().count += last - first;
            continue;
        }
        if (out.extents.size() == most) {
            out.end = std::max(offset, runStart);
            break;
        }
        out.extents.push_back({first, last - first});
    }
    return out;
}

bool CInode::readClusters(std::int64_t lcn, std::uint64_t byteInRun, MutableBytes out) {
    const std::uint64_t cs = volume_.bytesPerCluster();
    const std::uint32_t bps = volume_.info().bytesPerSector;
    if (lcn < 0 || cs == 0 || bps == 0) return false;
    const std::uint64_t cluster = static_cast<std::uint64_t>(lcn) + byteInRun / cs;
    const std::uint64_t inCluster = byteInRun % cs;
    if (inCluster % bps == 0 && out.size() % bps == 0)
        return static_cast<bool>(volume_.readAtCluster(cluster, inCluster, static_cast<std::uint32_t>(out.size()), out));
    // Not on sector boundaries: read the sectors around it and copy the part asked for.
    const std::uint64_t skip = inCluster % bps;
    std::vector<std::uint8_t> bounce(static_cast<std::size_t>((skip + out.size() + bps - 1) / bps * bps));
    if (!volume_.readAtCluster(cluster, inCluster - skip, static_cast<std::uint32_t>(bounce.size()), bounce)) return false;
    std::copy_n(bounce.begin() + static_cast<std::ptrdiff_t>(skip), out.size(), out.begin());
    return true;
}

std::uint64_t CInode::readUncompressed(const AttrEntry& a, std::uint64_t offset, MutableBytes out, std::uint64_t count) {
    const std::uint64_t cs = volume_.bytesPerCluster();
    if (cs == 0) return 0;
    // Past the initialized size the clusters hold whatever was there before: the file reads zeros.
    const std::uint64_t valid = std::min(a.initializedSize(), a.dataSize());
    constexpr std::uint64_t kMaxPiece = 1u << 24;
    std::uint64_t done = 0, vcn = 0;
    for (const DataRun& run : a.runs) {
        if (done == count) break;
        const std::uint64_t runStart = vcn * cs;
        const std::uint64_t runEnd = run.length > (UINT64_MAX / cs) - vcn ? UINT64_MAX : (vcn + run.length) * cs;
        vcn += run.length;
        while (done < count && offset + done < runEnd) {
            const std::uint64_t pos = offset + done;
            if (pos < runStart) return done;  // runs out of order: a damaged list
            std::uint64_t piece = std::min({count - done, runEnd - pos, kMaxPiece});
            MutableBytes dst = out.subspan(static_cast<std::size_t>(done));
            if (pos >= valid || run.sparse) {
                if (pos < valid) piece = std::min(piece, valid - pos);
                std::fill_n(dst.begin(), piece, 0);
            } else {
                piece = std::min(piece, valid - pos);
                if (!readClusters(run.lcn, pos - runStart, dst.first(static_cast<std::size_t>(piece)))) return done;
            }
            done += piece;
        }
    }
    return done;
}

bool CInode::loadUnit(const AttrEntry& a, std::uint64_t unit) {
    if (unitAttr_ == &a && unitIndex_ == unit) return true;
    const std::uint64_t cs = volume_.bytesPerCluster();
    const std::uint64_t clusters = a.unitClusters();
    const std::uint64_t unitBytes = clusters * cs;
    if (cs == 0 || unitBytes > kMaxUnitBytes) return false;
    unitData_.assign(static_cast<std::size_t>(unitBytes), 0);
    gather_.assign(static_cast<std::size_t>(unitBytes + 4), 0);

    // The allocated clusters of the unit in VCN order; the rest of the unit is sparse.
    const std::uint64_t first = unit * clusters, end = first + clusters;
    std::uint64_t vcn = 0, gathered = 0;
    for (const DataRun& run : a.runs) {
        const std::uint64_t runEnd = vcn + run.length;
        const std::uint64_t from = std::max(vcn, first), to = std::min(runEnd, end);
        if (from < to && !run.sparse) {
            MutableBytes dst = MutableBytes(gather_).subspan(static_cast<std::size_t>(gathered * cs),
                                                             static_cast<std::size_t>((to - from) * cs));
            if (!readClusters(run.lcn, (from - vcn) * cs, dst)) return false;
            gathered += to - from;
        }
        vcn = runEnd;
        if (vcn >= end) break;
    }

    if (gathered == clusters) {
        // Every cluster on disk: the unit was stored as it is.
        std::copy_n(gather_.begin(), unitBytes, unitData_.begin());
    } else if (gathered > 0) {
        lznt1Decompress(Bytes(gather_).first(static_cast<std::size_t>(gathered * cs + 4)), unitData_);
    }
    unitAttr_ = &a;
    unitIndex_ = unit;
    return true;
}

std::uint64_t CInode::readCompressed(const AttrEntry& a, std::uint64_t offset, MutableBytes out, std::uint64_t count) {
    const std::uint64_t unitBytes = std::uint64_t{a.unitClusters()} * volume_.bytesPerCluster();
    if (unitBytes == 0) return 0;
    std::uint64_t done = 0;
    while (done < count) {
        const std::uint64_t pos = offset + done;
        const std::uint64_t unit = pos / unitBytes;
        if (!loadUnit(a, unit)) return done;
        const std::uint64_t inUnit = pos - unit * unitBytes;
        const std::uint64_t n = std::min(count - done, unitBytes - inUnit);
        std::copy_n(unitData_.begin() + static_cast<std::ptrdiff_t>(inUnit), n, out.begin() + static_cast<std::ptrdiff_t>(done));
        done += n;
    }
    return done;
}

}  // namespace harrow
