// Run lists: where the clusters of a non-resident attribute lie.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/bytes.h"

namespace harrow {

// A run of clusters in VCN order: allocated at `lcn`, or sparse (no clusters on disk, reads as zeros).
struct DataRun {
    std::int64_t lcn = 0;
    std::uint64_t length = 0;
    bool sparse = false;
};

struct DecodedRun {
    std::size_t consumed;   // bytes of the run list this run took
    std::uint64_t length;   // clusters
    bool sparse;
};

// Decodes the run at the start of `bytes`. The header's low half is the size of the length field
// (1-8 bytes, unsigned, not 0), the high half the size of the signed offset field (0-8; 0 =
// sparse); the offset moves `lcn`, a 64-bit running cluster number. Nothing when the header or
// a field does not fit or makes no sense.
std::optional<DecodedRun> decodeRun(Bytes bytes, std::int64_t& lcn);

}  // namespace harrow
