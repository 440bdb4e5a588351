#include "cli/remote.h"

#include <fmt/core.h>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>

#include "common/strings.h"
#include "remote/password_input.h"
#include "remote/remote_address.h"

namespace harrow::cli {
namespace {

remote::RemoteSources* sources = nullptr;
std::string passwordFile;
std::string connectedTo;  // "HOST:PORT" of the server logged in to

// Connects and logs in, once per run; says why when it cannot.
bool logIn(const remote::ServerAddress& server) {
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
    const auto address = remote::dottedAddress(server.host);
    if (!address) printError("no IPv4 address for " + server.host);
    if (!address || !connection.connect(*address, server.port)) {
        printError(messageText(msg::kConnectFailed));
        return false;
    }
    if (!connection.login(*password)) return false;
    connectedTo = server.name();
    sources->setServerName(std::string(remote::kRemoteScheme) + server.name());
    return true;
}

}  // namespace

void useRemoteSources(remote::RemoteSources& s, std::string file) {
    sources = &s;
    passwordFile = std::move(file);
}

bool openRemoteSource(CQUIDNEYDoc& doc, const std::string& source, DocHost& host) {
    const auto drive = remote::parseRemoteSource(source);
    if (!drive) {
        printError("a remote source is harrowd://HOST[:PORT]/X, not " + source);
        return false;
    }
    if (!logIn(drive->server)) return false;
    const char letter = drive->letter;
    doc.driveKind = DriveKind::Remote;
    doc.driveLetter = letter;
    doc.rootPath = std::string(1, letter) + ":\\";
    return doc.openCurrentDrive(host);
}

int cmdRemoteDrives(const std::string& text, const Options& opt) {
    const auto server = remote::parseServerAddress(text);
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
        const std::string path = std::string(remote::kRemoteScheme) + server->name() + "/" + letter;
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
