// Discovery answers as the connect dialog takes them: any datagram from any port. The input is
// a run of datagrams, each a length byte, two bytes of the sender's port and that many bytes.
// The list must stay within its bound, hold each address once, and name a stream port for each.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "fuzz_checks.h"
#include "remote/discovery.h"

using namespace harrow;
using harrow::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    remote::Discovery discovery;
    std::size_t at = 0;
    while (size - at >= 3) {
        const std::size_t length = std::min<std::size_t>(data[at], size - at - 3);
        const auto port = static_cast<std::uint16_t>(data[at + 1] | data[at + 2] << 8);
        discovery.take(Bytes(data + at + 3, length), port);
        at += 3 + length;

        const auto& servers = discovery.servers();
        check(servers.size() <= remote::ServerList::kMaxServers);
        std::set<std::string> addresses;
        for (std::size_t i = 0; i < servers.size(); ++i) {
            check(addresses.insert(servers[i].address).second);
            check(servers[i].address.size() <= remote::ServerEntry::kAddressBytes);
            check(discovery.connectText(i).starts_with(servers[i].address));
        }
        check(discovery.connectText(servers.size()).empty());
    }
    return 0;
}
