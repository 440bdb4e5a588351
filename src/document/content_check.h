// Whether a file's bytes, as a candidate layout of its clusters delivers them, hold together as
// the file type its first bytes announce. A deleted file whose chain was cleared has no record of
// where its later clusters lay; for some types the content itself says whether they are right.
//
// The checks read only what they need (a tail, a central directory, a few headers) through a
// callback, so that every candidate costs a handful of reads however large the file is.
#pragma once

#include <cstdint>
#include <functional>

#include "common/bytes.h"

namespace harrow {

enum class ContentType { Unknown, Jpeg, Png, Zip };

// Bytes of a file's start that contentTypeOf() looks at.
inline constexpr std::size_t kContentHeadBytes = 8;

// The type announced by the signature at the start of the file; Unknown where there is none that
// has a check.
ContentType contentTypeOf(Bytes head);

// Reads exactly out.size() bytes of the candidate at `offset`; false when they cannot be read.
using ContentRead = std::function<bool(std::uint64_t offset, MutableBytes out)>;

// True when the candidate's bytes, `size` of them, are what a file of `type` must hold at the
// places checked:
//   JPEG  the end-of-image marker FF D9 as its last two bytes (nothing allowed after it);
//   PNG   a chain of chunk headers from byte 8 that ends with IEND exactly at the end;
//   ZIP   an end-of-central-directory record that ends the file, a central directory right before
//         it whose entries parse, and local headers (with their names) where the entries say.
// False for Unknown, and wherever a read fails.
bool contentConfirms(ContentType type, std::uint64_t size, const ContentRead& read);

}  // namespace harrow
