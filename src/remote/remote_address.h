// How users write a server and a drive of it: "HOST[:PORT]", and harrowd://HOST[:PORT]/X as a
// source, in harrow-cli and the window alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "remote/protocol.h"

namespace harrow::remote {

inline constexpr std::string_view kRemoteScheme = "harrowd://";

struct ServerAddress {
    std::string host;
    std::uint16_t port = SERVER_PORT;
    std::string name() const { return host + ":" + std::to_string(port); }
};

// "HOST[:PORT]"; nothing when the host is empty or the port is not a number from 1 to 65535.
std::optional<ServerAddress> parseServerAddress(std::string_view text);

struct RemoteDriveAddress {
    ServerAddress server;
    char letter = 0;
};

bool isRemoteSource(std::string_view source);
// harrowd://HOST[:PORT]/X; nothing when it is not one.
std::optional<RemoteDriveAddress> parseRemoteSource(std::string_view source);

// The dotted IPv4 text the connection speaks: the host itself, or the address a name is looked
// up to. Blocks while the lookup lasts.
std::optional<std::string> dottedAddress(const std::string& host);

}  // namespace harrow::remote
