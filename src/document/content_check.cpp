#include "document/content_check.h"

#include <algorithm>
#include <array>
#include <vector>

namespace harrow {
namespace {

// Chunk headers a PNG walk reads before it settles for the end alone: a few megabytes of the
// usual 8 KiB chunks.
constexpr int kMaxPngChunks = 1024;
// Bytes of a ZIP's central directory read, and local headers looked up through it: enough to see
// that the pieces sit where the directory says, without reading an archive of many entries whole.
constexpr std::uint64_t kMaxCentralBytes = 256 << 10;
constexpr std::size_t kMaxLocalChecks = 16;

constexpr std::uint32_t be32(Bytes b, std::size_t off) {
    return fits(b.size(), off, 4) ? (std::uint32_t{b[off]} << 24) | (std::uint32_t{b[off + 1]} << 16) |
                                        (std::uint32_t{b[off + 2]} << 8) | b[off + 3]
                                  : 0;
}

bool readInto(const ContentRead& read, std::uint64_t offset, std::vector<std::uint8_t>& out, std::size_t n) {
    out.resize(n);
    return read(offset, out);
}

bool jpegConfirms(std::uint64_t size, const ContentRead& read) {
    // A camera that pads after the marker is not trusted with slack: the end of another photo,
    // followed by zeros, would pass for this one's.
    std::array<std::uint8_t, 2> end{};
    return size >= 4 && read(size - 2, end) && end[0] == 0xFF && end[1] == 0xD9;
}

bool chunkTypeValid(Bytes header) {
    return std::all_of(header.begin() + 4, header.begin() + 8, [](std::uint8_t c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    });
}

//   signature(8) | length(4, big-endian) type(4) data(length) crc(4) | ... | 0 "IEND" crc
bool pngConfirms(std::uint64_t size, const ContentRead& read) {
    static constexpr std::array<std::uint8_t, 12> kIend = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    std::array<std::uint8_t, 12> header{};
    std::uint64_t at = 8;
    for (int i = 0; i < kMaxPngChunks; ++i) {
        if (at > size || size - at < 12 || !read(at, MutableBytes(header).first(8)) || !chunkTypeValid(header)) return false;
        const std::uint32_t length = be32(header, 0);
        if (length > 0x7FFFFFFFu || length > size - at - 12) return false;
        if (bytesEqual(header, 4, "IEND")) return length == 0 && at + 12 == size && read(at, header) && header == kIend;
        at += 12 + std::uint64_t{length};
    }
    // Too many chunks to walk: the end has to do.
    return size >= 20 && read(size - 12, header) && header == kIend;
}

struct CentralDirectory {
    std::uint64_t offset = 0, size = 0, entries = 0;
};

// The end-of-central-directory record (22 bytes and a comment) must end the file; a ZIP64 one
// lies before it, found through its locator.
std::optional<CentralDirectory> findCentralDirectory(std::uint64_t size, const ContentRead& read) {
    constexpr std::size_t kEocd = 22, kLocator = 20, kEocd64 = 56;
    if (size < kEocd + 30) return std::nullopt;
    std::vector<std::uint8_t> tail;
    std::size_t at = 0;
    // Without a comment the record is the last 22 bytes; only with one is a longer tail read.
    if (!readInto(read, size - kEocd, tail, kEocd)) return std::nullopt;
    if (!bytesEqual(tail, 0, "PK\5\6") || le16(tail, 20) != 0) {
        const auto window = static_cast<std::size_t>(std::min<std::uint64_t>(size, kEocd + 0xFFFF));
        if (!readInto(read, size - window, tail, window)) return std::nullopt;
        at = window - kEocd + 1;
        do {
            --at;
        } while (at > 0 && !(bytesEqual(tail, at, "PK\5\6") && at + kEocd + le16(tail, at + 20) == window));
        if (!bytesEqual(tail, at, "PK\5\6") || at + kEocd + le16(tail, at + 20) != window) return std::nullopt;
    }
    const Bytes eocd = Bytes(tail).subspan(at, kEocd);
    const std::uint64_t eocdAt = size - (tail.size() - at);
    if (le16(eocd, 4) != 0 || le16(eocd, 6) != 0 || le16(eocd, 8) != le16(eocd, 10)) return std::nullopt;
    CentralDirectory cd{le32(eocd, 16), le32(eocd, 12), le16(eocd, 10)};
    std::uint64_t cdEnd = eocdAt;
    if (cd.offset == 0xFFFFFFFFu || cd.size == 0xFFFFFFFFu || cd.entries == 0xFFFF) {
        std::vector<std::uint8_t> rec;
        if (eocdAt < kLocator || !readInto(read, eocdAt - kLocator, rec, kLocator) || !bytesEqual(rec, 0, "PK\6\7"))
            return std::nullopt;
        cdEnd = le64(rec, 8);
        if (cdEnd > eocdAt - kLocator || eocdAt - kLocator - cdEnd < kEocd64 || !readInto(read, cdEnd, rec, kEocd64) ||
            !bytesEqual(rec, 0, "PK\6\6"))
            return std::nullopt;
        cd = {le64(rec, 48), le64(rec, 40), le64(rec, 32)};
    }
    if (cd.entries == 0 || cd.offset > cdEnd || cdEnd - cd.offset != cd.size) return std::nullopt;
    return cd;
}

//   local headers and data ... | central directory: "PK\1\2" entries | [zip64 record, locator] |
//   "PK\5\6" end record, comment
bool zipConfirms(std::uint64_t size, const ContentRead& read) {
    const auto cd = findCentralDirectory(size, read);
    if (!cd) return false;
    std::vector<std::uint8_t> central;
    const auto readBytes = static_cast<std::size_t>(std::min(cd->size, kMaxCentralBytes));
    if (!readInto(read, cd->offset, central, readBytes)) return false;
    struct Local {
        std::uint64_t offset;
        std::size_t nameAt, nameLength;
    };
    std::vector<Local> locals;
    std::size_t at = 0;
    while (at < central.size()) {
        if (!fits(central.size(), at, 46)) break;
        if (!bytesEqual(central, at, "PK\1\2")) return false;
        const std::size_t nameLength = le16(central, at + 28);
        const std::size_t length = 46 + nameLength + le16(central, at + 30) + le16(central, at + 32);
        if (!fits(central.size(), at, length)) break;
        // An offset kept in a ZIP64 extra field is not looked up.
        if (le32(central, at + 42) != 0xFFFFFFFFu) locals.push_back({le32(central, at + 42), at + 46, nameLength});
        at += length;
    }
    // Read whole, the directory must hold exactly its entries; read in part, what was read must
    // at least begin with one.
    if (readBytes == cd->size ? at != central.size() || locals.size() > cd->entries : at == 0) return false;
    std::vector<std::uint8_t> header;
    const std::size_t checks = std::min(locals.size(), kMaxLocalChecks);
    for (std::size_t k = 0; k < checks; ++k) {
        // Spread over the directory, first and last included, so the file's later pieces are seen.
        const Local& local = locals[checks == 1 ? 0 : k * (locals.size() - 1) / (checks - 1)];
        if (local.offset > cd->offset || cd->offset - local.offset < 30 + local.nameLength ||
            !readInto(read, local.offset, header, 30 + local.nameLength) || !bytesEqual(header, 0, "PK\3\4") ||
            le16(header, 26) != local.nameLength ||
            !std::equal(header.begin() + 30, header.end(), central.begin() + static_cast<std::ptrdiff_t>(local.nameAt)))
            return false;
    }
    return true;
}

}  // namespace

ContentType contentTypeOf(Bytes head) {
    if (bytesEqual(head, 0, "\x89PNG\r\n\x1a\n")) return ContentType::Png;
    if (bytesEqual(head, 0, "\xFF\xD8\xFF")) return ContentType::Jpeg;
    if (bytesEqual(head, 0, "PK\3\4")) return ContentType::Zip;
    return ContentType::Unknown;
}

bool contentConfirms(ContentType type, std::uint64_t size, const ContentRead& read) {
    switch (type) {
        case ContentType::Jpeg: return jpegConfirms(size, read);
        case ContentType::Png: return pngConfirms(size, read);
        case ContentType::Zip: return zipConfirms(size, read);
        case ContentType::Unknown: break;
    }
    return false;
}

}  // namespace harrow
