// The three NTFS decoders that take bytes straight off the disk and trust nothing else: run
// lists, LZNT1 and the update-sequence repair of file and index records. Every input goes
// through all three.
//
// Beyond surviving hostile bytes, each is held to what it promises:
//  - a decoded run agrees with a decoding written here from the field layout, and does not
//    depend on the bytes after it;
//  - LZNT1 gives back any data compressed by the small encoder below, and what it reports as
//    produced does not depend on how large the output buffer is or on what the buffer held;
//  - a repaired record differs from its input only in the sector tails the update sequence
//    covers, and a record protected here comes back exactly, or is refused once torn.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/bytes.h"
#include "ntfs/lznt1.h"
#include "ntfs/record.h"
#include "ntfs/runs.h"

using namespace harrow;

namespace {

constexpr std::size_t kSectorBytes = 512;
constexpr std::size_t kOutputBytes = 64 << 10;
// Four chunks are enough for every split of a back-reference; more only costs executions.
constexpr std::size_t kRoundTripBytes = 16 << 10;
// Records of 1 and 4 KiB are what volumes have; past 8 KiB the repair only does more of the same.
constexpr std::size_t kMaxRecordBytes = 8 << 10;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

// The harness's own work (the encoder, the reference decodings, the byte-by-byte comparisons) is
// left out of the coverage feedback: the library is instrumented on its own, and tracing the
// harness would reward inputs for exercising it and take most of each execution.
#define NOT_FUZZED __attribute__((no_sanitize("coverage")))

// ---------------------------------------------------------------------------------------------
// Run lists

NOT_FUZZED void runLists(Bytes in) {
    std::int64_t lcn = 0;
    std::size_t pos = 0;
    while (pos < in.size()) {
        const Bytes rest = in.subspan(pos);
        const std::int64_t before = lcn;
        const auto run = decodeRun(rest, lcn);
        if (!run) break;

        // The header's two halves give the field sizes; nothing else may decide how much a run takes.
        const unsigned lengthSize = rest[0] & 0x0F, offsetSize = rest[0] >> 4;
        check(lengthSize >= 1 && lengthSize <= 8 && offsetSize <= 8);
        check(run->consumed == 1 + lengthSize + offsetSize);
        check(run->consumed <= rest.size());
        check(run->length > 0);
        check(run->sparse == (offsetSize == 0));

        std::uint64_t length = 0, delta = 0;
        for (unsigned i = 0; i < lengthSize; ++i) length |= std::uint64_t{rest[1 + i]} << (8 * i);
        for (unsigned i = 0; i < offsetSize; ++i) delta |= std::uint64_t{rest[1 + lengthSize + i]} << (8 * i);
        if (offsetSize > 0 && offsetSize < 8 && (rest[offsetSize + lengthSize] & 0x80)) delta |= ~0ull << (8 * offsetSize);
        check(run->length == length);
        // The running cluster number wraps like the 64-bit value it is.
        check(static_cast<std::uint64_t>(lcn) == static_cast<std::uint64_t>(before) + delta);

        // The same run cut out alone decodes the same: nothing past it was read.
        std::int64_t again = before;
        const auto alone = decodeRun(rest.first(run->consumed), again);
        check(alone && alone->consumed == run->consumed && alone->length == run->length &&
              alone->sparse == run->sparse && again == lcn);
        // One byte short, the run no longer fits.
        std::int64_t cut = before;
        check(!decodeRun(rest.first(run->consumed - 1), cut));

        pos += run->consumed;
    }
    std::int64_t lcn0 = 0;
    check(!decodeRun(Bytes{}, lcn0));
}

// ---------------------------------------------------------------------------------------------
// LZNT1

// The split of a back-reference at output position p (p > 0) within its chunk: the distance
// takes as many bits as reaching back to the chunk's start needs, at least 4.
NOT_FUZZED unsigned distanceShift(std::size_t p) {
    unsigned shift = 12;
    for (std::size_t x = p - 1; x >= 16; x >>= 1) --shift;
    return shift;
}

// Raw pointers: the span's checked subscript is an instrumented call of its own.
NOT_FUZZED std::size_t matchLength(Bytes src, std::size_t p, std::size_t distance, std::size_t maxLength) {
    const std::uint8_t* a = src.data() + p;
    const std::uint8_t* b = a - distance;
    std::size_t n = 0;
    while (n < maxLength && a[n] == b[n]) ++n;
    return n;
}

NOT_FUZZED unsigned hash3(Bytes src, std::size_t p) {
    const std::uint8_t* a = src.data() + p;
    return ((a[0] << 4) ^ (a[1] << 2) ^ a[2]) & 0xFFF;
}

// A plain greedy LZNT1 encoder: one hash candidate plus the nearest few distances per position.
// `style` bit 0 stores every chunk as it is, bit 1 writes literals only, bit 2 ends the stream
// with a zero header.
NOT_FUZZED std::vector<std::uint8_t> lznt1Compress(Bytes data, unsigned style) {
    std::vector<std::uint8_t> out;
    std::array<std::int32_t, 4096> head;
    for (std::size_t c = 0; c < data.size(); c += 4096) {
        const Bytes src = data.subspan(c, std::min<std::size_t>(4096, data.size() - c));
        std::vector<std::uint8_t> body;
        head.fill(-1);
        std::size_t p = 0;
        while (p < src.size()) {
            const std::size_t tagAt = body.size();
            body.push_back(0);
            for (int bit = 0; bit < 8 && p < src.size(); ++bit) {
                std::size_t bestLength = 0, bestDistance = 0;
                if (p > 0 && !(style & 2)) {
                    const unsigned shift = distanceShift(p);
                    const std::size_t maxDistance = std::min<std::size_t>(p, std::size_t{1} << (16 - shift));
                    const std::size_t maxLength = std::min<std::size_t>((0xFFFFu >> (16 - shift)) + 3, src.size() - p);
                    std::size_t candidates[9] = {1, 2, 3, 4, 5, 6, 7, 8, 0};
                    if (p + 3 <= src.size() && head[hash3(src, p)] >= 0)
                        candidates[8] = p - static_cast<std::size_t>(head[hash3(src, p)]);
                    for (std::size_t distance : candidates) {
                        if (distance == 0 || distance > maxDistance) continue;
                        const std::size_t n = matchLength(src, p, distance, maxLength);
                        if (n >= 3 && n > bestLength) bestLength = n, bestDistance = distance;
                    }
                }
                const std::size_t step = bestLength ? bestLength : 1;
                for (std::size_t k = p; k < p + step && k + 3 <= src.size(); ++k) head[hash3(src, k)] = static_cast<std::int32_t>(k);
                if (bestLength) {
                    const unsigned shift = distanceShift(p);
                    const std::uint16_t v = static_cast<std::uint16_t>(((bestDistance - 1) << shift) | (bestLength - 3));
                    body[tagAt] |= static_cast<std::uint8_t>(1u << bit);
                    body.push_back(static_cast<std::uint8_t>(v));
                    body.push_back(static_cast<std::uint8_t>(v >> 8));
                } else {
                    body.push_back(src[p]);
                }
                p += step;
            }
        }
        if (!(style & 1) && body.size() <= 4096) {
            const std::uint16_t h = static_cast<std::uint16_t>(0xB000 | (body.size() - 1));
            out.push_back(static_cast<std::uint8_t>(h));
            out.push_back(static_cast<std::uint8_t>(h >> 8));
            out.insert(out.end(), body.begin(), body.end());
        } else {
            // A stored chunk always stands for 4096 bytes; only the last may be cut short.
            out.push_back(0xFF);
            out.push_back(0x3F);
            out.insert(out.end(), src.begin(), src.end());
        }
    }
    if (style & 4) out.insert(out.end(), {0, 0});
    return out;
}

NOT_FUZZED void checkRoundTrip(Bytes data, unsigned style) {
    const std::vector<std::uint8_t> packed = lznt1Compress(data, style);
    std::vector<std::uint8_t> out(kOutputBytes, 0xA5);
    const std::size_t n = lznt1Decompress(packed, out);
    check(n <= out.size());
    check(n >= data.size());
    check(std::equal(data.begin(), data.end(), out.begin()));
    // Past the data only the zeros that pad a compressed chunk to 4096 bytes.
    check(std::all_of(out.begin() + static_cast<std::ptrdiff_t>(data.size()), out.begin() + static_cast<std::ptrdiff_t>(n),
                      [](std::uint8_t b) { return b == 0; }));
}

NOT_FUZZED void lznt1(Bytes in) {
    std::vector<std::uint8_t> big(kOutputBytes, 0xA5);
    const std::size_t n = lznt1Decompress(in, big);
    check(n <= big.size());

    // A smaller buffer, holding other garbage: the bytes both report as produced must agree, so
    // no count takes in bytes that were never written (the zeros after a short chunk included).
    const std::size_t smallSize = in.empty() ? 1 : 1 + (std::size_t{in[0]} * 331) % kOutputBytes;
    std::vector<std::uint8_t> small(smallSize, 0x5A);
    const std::size_t m = lznt1Decompress(in, small);
    check(m <= small.size());
    const std::size_t common = std::min(n, m);
    check(std::equal(big.begin(), big.begin() + static_cast<std::ptrdiff_t>(common), small.begin()));
    check(lznt1Decompress(in, MutableBytes{}) == 0);

    const Bytes data = in.first(std::min(in.size(), kRoundTripBytes));
    const unsigned style = in.empty() ? 0 : in.back();
    checkRoundTrip(data, style & 7);
    // Repetitive data, so that long matches at every distance split are made: each input byte
    // becomes a run of 1-16 copies of itself.
    std::vector<std::uint8_t> runs;
    for (std::uint8_t b : data) {
        if (runs.size() >= kRoundTripBytes) break;
        runs.insert(runs.end(), std::min<std::size_t>((b & 15) + 1, kRoundTripBytes - runs.size()), b);
    }
    checkRoundTrip(runs, (style >> 3) & 6);
}

// ---------------------------------------------------------------------------------------------
// Update sequences

NOT_FUZZED bool isTail(std::size_t i) { return i % kSectorBytes >= kSectorBytes - 2; }

using Repair = bool (*)(MutableBytes);

struct RecordKind {
    const char* magic;
    // File records say where their update sequence lies (0x04); index records keep it at 0x28.
    bool usaOffsetField;
    std::size_t usaOffset;  // where the records built here put it
    Repair repair;
};

// The sequence number and the saved tails stand at the update sequence offset, their count
// (the number itself included) at 0x06.
NOT_FUZZED void checkRepair(Bytes in, const RecordKind& kind) {
    const std::size_t size = std::min(in.size(), kMaxRecordBytes);
    const std::size_t sectors = size / kSectorBytes;

    // The input as it stands.
    std::vector<std::uint8_t> r(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(size));
    if (kind.repair(r)) {
        check(bytesEqual(in, 0, kind.magic));
        const std::size_t at = kind.usaOffsetField ? le16(in, 0x04) : kind.usaOffset;
        const std::size_t count = le16(in, 0x06);
        // Only a record of whole strides with one array entry per stride is repaired.
        check(size % kSectorBytes == 0 && count == sectors + 1);
        const std::size_t fixed = count - 1;
        // An array that overlaps the tails it repairs reads back its own repairs; what it
        // yields then is nothing to hold the repair to.
        bool overlaps = false;
        for (std::size_t i = at; i < at + 2 * count && i < fixed * kSectorBytes && !overlaps; ++i) overlaps = isTail(i);
        for (std::size_t i = 0; i < size && !overlaps; ++i) {
            const std::size_t s = i / kSectorBytes;
            if (!isTail(i) || s >= fixed) {
                check(r[i] == in[i]);
                continue;
            }
            // Each tail repaired held the sequence number and now holds its saved pair.
            check(in[i] == in[at + i % 2]);
            check(r[i] == in[at + 2 * (s + 1) + i % 2]);
        }
    }

    // The input made into a consistent record and protected the way a volume writes it.
    if (sectors == 0 || kind.usaOffset + 2 * (sectors + 2) >= kSectorBytes - 2) return;
    std::vector<std::uint8_t> plain(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(sectors * kSectorBytes));
    std::memcpy(plain.data(), kind.magic, 4);
    const std::size_t count = 1 + sectors;
    const std::size_t fixed = sectors;
    storeLe<std::uint16_t>(plain, 0x06, static_cast<std::uint16_t>(count));
    if (kind.usaOffsetField) storeLe<std::uint16_t>(plain, 0x04, static_cast<std::uint16_t>(kind.usaOffset));
    const std::uint16_t usn = le16(in, kind.usaOffset);
    storeLe<std::uint16_t>(plain, kind.usaOffset, usn);
    for (std::size_t s = 0; s < fixed; ++s) {
        const std::size_t tail = (s + 1) * kSectorBytes - 2;
        plain[kind.usaOffset + 2 * (s + 1)] = plain[tail];
        plain[kind.usaOffset + 2 * (s + 1) + 1] = plain[tail + 1];
    }
    std::vector<std::uint8_t> stored = plain;
    for (std::size_t s = 0; s < fixed; ++s) storeLe<std::uint16_t>(stored, (s + 1) * kSectorBytes - 2, usn);

    std::vector<std::uint8_t> work = stored;
    check(kind.repair(work));
    check(work == plain);

    // A sector written without the others (a torn write) no longer ends in the number.
    const std::size_t torn = le8(in, 0x08) % fixed;
    work = stored;
    storeLe<std::uint16_t>(work, (torn + 1) * kSectorBytes - 2, static_cast<std::uint16_t>(usn ^ 0x0100));
    check(!kind.repair(work));

    // An array of another length than the record's strides protects nothing that can be trusted.
    work = stored;
    storeLe<std::uint16_t>(work, 0x06, static_cast<std::uint16_t>(count + (le8(in, 0x09) % 2 ? 1 : -1)));
    check(!kind.repair(work));
}

void updateSequences(Bytes in) {
    checkRepair(in, RecordKind{"FILE", true, 0x30, repairFileRecord});
    checkRepair(in, RecordKind{"INDX", false, 0x28, repairIndexRecord});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes in(data, size);
    runLists(in);
    lznt1(in);
    updateSequences(in);
    return 0;
}
