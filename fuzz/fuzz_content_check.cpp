// A whole file from the fuzzer, checked as JPEG, PNG and ZIP whatever its signature says: the
// checks read through a callback at offsets the bytes choose, so every read must lie inside the
// file, and the number and size of the reads must stay within the checks' own budgets.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "fuzz_checks.h"
#include "document/content_check.h"

using namespace harrow;
using namespace harrow::fuzz;

namespace {

// A check reads a tail of at most 64 KiB, a central directory of at most 256 KiB, a few dozen
// headers or a thousand chunk headers; anything beyond says a budget was lost.
constexpr std::uint64_t kMaxReadBytes = 2 << 20;
constexpr int kMaxReads = 1100;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes file(data, size);
    (void)contentTypeOf(file);
    for (ContentType type : {ContentType::Jpeg, ContentType::Png, ContentType::Zip, ContentType::Unknown}) {
        std::uint64_t bytes = 0;
        int reads = 0;
        const bool confirmed = contentConfirms(type, size, [&](std::uint64_t offset, MutableBytes out) {
            check(fits(size, offset, out.size()));
            bytes += out.size();
            check(++reads <= kMaxReads && bytes <= kMaxReadBytes);
            std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
            return true;
        });
        check(type != ContentType::Unknown || !confirmed);
        // What a JPEG is confirmed by lies where the check says.
        if (type == ContentType::Jpeg && confirmed) check(size >= 4 && data[size - 2] == 0xFF && data[size - 1] == 0xD9);
    }
    return 0;
}
