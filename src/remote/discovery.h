// Finding servers: a discovery request sent to the servers' discovery port (broadcast by
// default), and their answers gathered into a ServerList while the caller waits on fd().
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/unique_fd.h"
#include "remote/protocol.h"

namespace harrow::remote {

// Where discovery requests go: an IPv4 address text and a UDP port.
struct DiscoveryTarget {
    std::string address;
    std::uint16_t port = DISCOVERY_PORT;
};

// The broadcast address at the discovery port, unless HARROW_DISCOVERY lists targets of its own
// ("ADDRESS[:PORT],..."), as a network that is not to be broadcast on needs.
std::vector<DiscoveryTarget> discoveryTargets();
// "ADDRESS[:PORT],...": the targets that parse; nothing for an empty list.
std::vector<DiscoveryTarget> parseDiscoveryTargets(const std::string& text);

class Discovery {
public:
    enum class Start { Started, NoSocket, Failed };
    // Makes the datagram socket, allows broadcast, binds it to any address and sends one request
    // to every target. NoSocket: no socket could be made (discovery silently stays off); Failed:
    // it could not be set up (the caller says 61241).
    Start start(std::vector<DiscoveryTarget> targets = discoveryTargets());
    void stop();
    // Sends the request again, so that servers started since answer too.
    void refresh();
    // The socket to wait on for answers; -1 when stopped.
    int fd() const { return fd_.valid() ? fd_.get() : -1; }
    // Takes every answer waiting; true when the list changed.
    bool receive();
    // Takes one datagram from `sender` (its UDP port): what receive() does with each.
    bool take(Bytes datagram, std::uint16_t senderPort);

    const std::vector<ServerEntry>& servers() const { return list_.entries(); }
    // What the connect field takes for server `i`: its address, and ":PORT" where its stream
    // port (the one below the port it answered from) is not the usual one.
    std::string connectText(std::size_t i) const;

private:
    UniqueFd fd_;
    std::vector<DiscoveryTarget> targets_;
    ServerList list_;
    // The stream port of each listed address, in the list's order.
    std::vector<std::pair<std::string, std::uint16_t>> ports_;
};

}  // namespace harrow::remote
