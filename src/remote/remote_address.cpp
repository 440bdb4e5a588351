#include "remote/remote_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <charconv>

#include "volume/drive_table.h"

namespace harrow::remote {

std::optional<ServerAddress> parseServerAddress(std::string_view text) {
    ServerAddress s;
    const auto colon = text.rfind(':');
    s.host = std::string(text.substr(0, colon));
    if (colon != std::string_view::npos) {
        const std::string_view digits = text.substr(colon + 1);
        unsigned port = 0;
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
        if (ec != std::errc{} || end != digits.data() + digits.size() || port == 0 || port > 65535) return std::nullopt;
        s.port = static_cast<std::uint16_t>(port);
    }
    if (s.host.empty()) return std::nullopt;
    return s;
}

bool isRemoteSource(std::string_view source) { return source.starts_with(kRemoteScheme); }

std::optional<RemoteDriveAddress> parseRemoteSource(std::string_view source) {
    if (!isRemoteSource(source)) return std::nullopt;
    const std::string_view rest = source.substr(kRemoteScheme.size());
    const auto slash = rest.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    auto server = parseServerAddress(rest.substr(0, slash));
    const auto letter = letterOfRootPath(std::string(rest.substr(slash + 1)));
    if (!server || !letter) return std::nullopt;
    return RemoteDriveAddress{std::move(*server), *letter};
}

std::optional<std::string> dottedAddress(const std::string& host) {
    in_addr a{};
    if (::inet_pton(AF_INET, host.c_str(), &a) == 1) return host;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return std::nullopt;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr, text, sizeof text);
    ::freeaddrinfo(found);
    return std::string(text);
}

}  // namespace harrow::remote
