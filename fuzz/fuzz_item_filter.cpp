// A search's filter as a user types it: the first bytes up to a NUL are a name pattern, the
// rest split at the next NULs into a size, a date and a name to match. Each parser either
// refuses with a message or gives a value that its own rules hold, and matching ends in time
// whatever the pattern and the name hold.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_checks.h"
#include "document/item_filter.h"

using namespace harrow;
using namespace harrow::fuzz;

namespace {

std::string_view nextPart(std::string_view& rest) {
    const std::size_t end = rest.find('\0');
    const std::string_view part = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    return part;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    const std::string_view pattern = nextPart(rest), sizeText = nextPart(rest), dateText = nextPart(rest);
    const std::string_view name = rest;

    std::string error;
    if (auto glob = NameGlob::parse(pattern, error)) {
        (void)glob->matches(name);
        (void)glob->matches(name, true);
        // Every name matches itself taken as a pattern where it holds no pattern characters.
        if (name.find_first_of("*?[\\") == std::string_view::npos && !name.empty())
            check(NameGlob::parse(name, error)->matches(name));
    } else {
        check(!error.empty());
    }
    error.clear();
    if (auto bound = parseSizeBound(sizeText, error)) {
        check(bound->min <= bound->max);
        check(!sizeText.empty() && (sizeText[0] == '+' || sizeText[0] == '-' || bound->min == bound->max));
    } else {
        check(!error.empty());
    }
    error.clear();
    if (auto date = parseFilterDate(dateText, error)) {
        check(dateText.size() == 10 || dateText.size() == 16);
        check(*date >= 0 && *date <= 99991231235900);
    } else {
        check(!error.empty());
    }
    return 0;
}
