#include "cli/remote.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <charconv>
#include <fmt/core.h>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>

#include "common/strings.h"
#include "remote/password_input.h"

namespace harrow::cli {
namespace {

constexpr std::string_view kScheme = "harrowd://";

remote::RemoteSources* sources = nullptr;
std::string passwordFile;
std::string connectedTo;  // "HOST:PORT" of the server logged in to

struct Server {
    std::string host;
    std::uint16_t port = remote::SERVER_PORT;
    std::string name() const { return host + ":" + std::to_string(port); }
};

// "HOST[:PORT]"; nothing when the port is not a number from 1 to 65535.
std::optional<Server> parseServer(std::string_view text) {
    Server s;
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

// The connection speaks dotted IPv4 text only; a host name is looked up here.
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

// Connects and logs in, once per run; says why when it cannot.
bool logIn(const Server& server) {
    if (!sources) {
        printError("remote drives are not available here");
        return false;
    }
    remote::ClientConnection& connection = sources->connection();
    if (connection.connected() && connectedTo == server.name()) return true;
    std::string error;
    auto password = remote::readPassword(passwordFile, "HARROW_PASSWORD", error);
    if (!password) {
        printError(error);
        return false;
    }
    if (password->size() > remote::LoginRequest::kMaxPassword) {
        printError(fmt::format("the password is longer than the {} bytes the login carries", remote::LoginRequest::kMaxPassword));
        return false;
    }
    const auto address = dottedAddress(server.host);
    if (!address) printError("no IPv4 address for " + server.host);
    if (!address || !connection.connect(*address, server.port)) {
        printError(messageText(msg::kConnectFailed));
        return false;
    }
    if (!connection.login(*password)) return false;
    connectedTo = server.name();
    sources->setServerName(std::string(kScheme) + server.name());
    return true;
}

}  // namespace

void useRemoteSources(remote::RemoteSources& s, std::string file) {
    sources = &s;
    passwordFile = std::move(file);
}

bool isRemoteSource(const std::string& source) { return source.starts_with(kScheme); }

bool openRemoteSource(CQUIDNEYDoc& doc, const std::string& source, DocHost& host) {
    const std::string_view rest = std::string_view(source).substr(kScheme.size());
    const auto slash = rest.find('/');
    std::optional<Server> server;
    std::optional<char> letter;
    if (slash != std::string_view::npos) {
        server = parseServer(rest.substr(0, slash));
        letter = letterOfRootPath(std::string(rest.substr(slash + 1)));
    }
    if (!server || !letter) {
        printError("a remote source is harrowd://HOST[:PORT]/X, not " + source);
        return false;
    }
    if (!logIn(*server)) return false;
    doc.driveKind = DriveKind::Remote;
    doc.driveLetter = *letter;
    doc.rootPath = std::string(1, *letter) + ":\\";
    return doc.openCurrentDrive(host);
}

int cmdRemoteDrives(const std::string& text, const Options& opt) {
    const auto server = parseServer(text);
    if (!server) {
        printError("--server wants HOST[:PORT], not " + text);
        return kBadSource;
    }
    if (!logIn(*server)) return kBadSource;
    remote::ClientConnection& connection = sources->connection();
    nlohmann::json out = nlohmann::json::array();
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        const std::string root = std::string(1, letter) + ":\\";
        const int type = connection.driveType(root);
        if (!connection.connected()) return kBadSource;
        // The drive list shows what can be read sector by sector: removable, fixed and RAM disks.
        const auto kind = static_cast<DriveType>(type);
        if (kind != DriveType::Removable && kind != DriveType::Fixed && kind != DriveType::RamDisk) continue;
        remote::VolumeInformation volume;
        if (kind != DriveType::Removable) volume = connection.volumeInformation(root).value_or(remote::VolumeInformation{});
        const std::string path = std::string(kScheme) + server->name() + "/" + letter;
        if (opt.json) {
            out.push_back({{"letter", std::string(1, letter) + ":"},
                           {"type", type},
                           {"label", volume.name},
                           {"file_system", volume.fsName},
                           {"serial", volume.serial},
                           {"path", path}});
        } else {
            // The label is the server's word: shown as `info` shows one, it cannot forge a line
            // nor drive the terminal.
            fmt::print("{}:  {}  {:<16}  {}\n", letter, type, shownText(volume.name), shownText(path));
        }
    }
    if (opt.json) std::cout << nlohmann::json{{"drives", out}}.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    return kOk;
}

}  // namespace harrow::cli
