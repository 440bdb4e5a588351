#include "remote/discovery.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>

namespace harrow::remote {

std::vector<DiscoveryTarget> parseDiscoveryTargets(const std::string& text) {
    std::vector<DiscoveryTarget> targets;
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        const std::string_view item(text.data() + at, comma - at);
        at = comma + 1;
        DiscoveryTarget t;
        const std::size_t colon = item.find(':');
        t.address = std::string(item.substr(0, colon));
        in_addr a{};
        if (t.address.empty() || ::inet_pton(AF_INET, t.address.c_str(), &a) != 1) continue;
        if (colon != std::string_view::npos) {
            const std::string_view digits = item.substr(colon + 1);
            unsigned port = 0;
            auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
            if (ec != std::errc{} || end != digits.data() + digits.size() || port == 0 || port > 65535) continue;
            t.port = static_cast<std::uint16_t>(port);
        }
        targets.push_back(std::move(t));
    }
    return targets;
}

std::vector<DiscoveryTarget> discoveryTargets() {
    if (const char* env = std::getenv("HARROW_DISCOVERY"); env && *env) return parseDiscoveryTargets(env);
    return {{"255.255.255.255", DISCOVERY_PORT}};
}

Discovery::Start Discovery::start(std::vector<DiscoveryTarget> targets) {
    stop();
    targets_ = std::move(targets);
    fd_ = UniqueFd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd_.valid()) return Start::NoSocket;
    const int on = 1;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::setsockopt(fd_.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
        ::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
        fd_.reset();
        return Start::Failed;
    }
    refresh();
    return Start::Started;
}

void Discovery::stop() {
    fd_.reset();
    list_.clear();
    ports_.clear();
}

void Discovery::refresh() {
    if (!fd_.valid()) return;
    const auto request = discoveryRequest();
    for (const DiscoveryTarget& t : targets_) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(t.port);
        if (::inet_pton(AF_INET, t.address.c_str(), &to.sin_addr) != 1) continue;
        // A target that cannot be reached now may be later: the next refresh tries again.
        ::sendto(fd_.get(), request.data(), request.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
}

bool Discovery::receive() {
    bool changed = false;
    // A bounded number per call: a flood of datagrams must not keep the caller here.
    for (int n = 0; n < 1024 && fd_.valid(); ++n) {
        // One byte more than an answer: a longer datagram is seen as longer, not cut to fit.
        std::uint8_t buf[kDiscoveryAnswerBytes + 1];
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        const ssize_t got = ::recvfrom(fd_.get(), buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (got < 0) break;
        const std::uint16_t port = fromLen >= sizeof from ? ntohs(from.sin_port) : 0;
        changed |= take(Bytes(buf, static_cast<std::size_t>(got)), port);
    }
    return changed;
}

bool Discovery::take(Bytes datagram, std::uint16_t senderPort) {
    if (!list_.take(datagram)) return false;
    // Keep the ports in the list's order: one entry was added at the end, or one removed.
    std::vector<std::pair<std::string, std::uint16_t>> ports;
    const std::uint16_t streamPort = senderPort > 1 ? static_cast<std::uint16_t>(senderPort - 1) : SERVER_PORT;
    for (const ServerEntry& e : list_.entries()) {
        auto known = std::find_if(ports_.begin(), ports_.end(), [&](const auto& p) { return p.first == e.address; });
        ports.emplace_back(e.address, known != ports_.end() ? known->second : streamPort);
    }
    ports_ = std::move(ports);
    return true;
}

std::string Discovery::connectText(std::size_t i) const {
    if (i >= ports_.size()) return {};
    const auto& [address, port] = ports_[i];
    return port == SERVER_PORT ? address : address + ":" + std::to_string(port);
}

}  // namespace harrow::remote
