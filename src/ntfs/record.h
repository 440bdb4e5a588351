// NTFS on-disk records: the update-sequence repair of file and index records, and the offsets
// of the fields we read.
#pragma once

#include <cstdint>

#include "common/bytes.h"

namespace harrow {

// File record header:
//   0x00 "FILE"   0x04 update sequence offset   0x06 update sequence count
//   0x14 first attribute offset   0x16 flags (0x01 in use, 0x02 directory)   0x2C record number (3.1+)
namespace frec {
inline constexpr std::size_t kUsaOffset = 0x04, kUsaCount = 0x06, kFirstAttribute = 0x14, kFlags = 0x16,
                             kRecordNumber = 0x2C;
inline constexpr std::uint16_t kInUse = 0x01, kDirectory = 0x02;
}  // namespace frec

// Attribute record header (resident and non-resident forms share the first 16 bytes):
//   0x00 type   0x04 length   0x08 non-resident   0x09 name length   0x0A name offset   0x0C flags
//   resident:     0x10 value length (32)   0x14 value offset (16)
//   non-resident: 0x10 first VCN   0x18 last VCN   0x20 run list offset   0x22 compression unit
//                 0x28 allocated size   0x30 data size   0x38 initialized size
namespace attr {
inline constexpr std::size_t kType = 0x00, kLength = 0x04, kNonResident = 0x08, kNameLength = 0x09,
                             kNameOffset = 0x0A, kFlags = 0x0C, kValueLength = 0x10, kValueOffset = 0x14,
                             kFirstVcn = 0x10, kLastVcn = 0x18, kRunOffset = 0x20, kCompressionUnit = 0x22,
                             kAllocatedSize = 0x28, kDataSize = 0x30, kInitializedSize = 0x38;
inline constexpr std::size_t kHeaderCopy = 64;
inline constexpr std::uint32_t kEnd = 0xFFFFFFFF;
}  // namespace attr

enum AttrType : std::uint32_t {
    AT_STANDARD_INFORMATION = 0x10,
    AT_ATTRIBUTE_LIST = 0x20,
    AT_FILE_NAME = 0x30,
    AT_VOLUME_NAME = 0x60,
    AT_DATA = 0x80,
    AT_INDEX_ROOT = 0x90,
    AT_INDEX_ALLOCATION = 0xA0,
};

// Puts back the last two bytes of each 512-byte stride of a file record ("FILE") from its update
// sequence array, after checking that each held the update sequence number. `record` is the whole
// record (a multiple of 512 bytes) and its array must have one entry per stride.
bool repairFileRecord(MutableBytes record);

// The same for an index record ("INDX"), whose sequence number and array stand at 0x28 and 0x2A.
bool repairIndexRecord(MutableBytes record);

}  // namespace harrow
