// LZNT1, the compression of NTFS: a stream of chunks, each with a 2-byte header, holding 4096
// bytes of data either as they are or as literals and back-references.
#pragma once

#include <cstddef>

#include "common/bytes.h"

namespace harrow {

inline constexpr std::size_t kLznt1ChunkBytes = 4096;

// Decompresses `in` into `out` until `out` is full, the input ends, or a zero header ends the
// unit. Each chunk stands for 4096 bytes of output; a compressed chunk that produces fewer leaves
// zeros after them. Returns the bytes produced, counting those zeros. A damaged chunk stops the
// decompression where it stands.
std::size_t lznt1Decompress(Bytes in, MutableBytes out);

}  // namespace harrow
