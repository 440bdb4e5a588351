// Devices the user may not read, opened through the desktop's disk service: it asks for the
// user's authorisation (polkit, as the desktop's disk tools do) and hands back a read-only
// descriptor, which the drive then reads through. Nobody has to run the window as root.
#pragma once

#include <QDBusConnection>
#include <QString>
#include <optional>
#include <string>

#include "common/prompts.h"
#include "common/unique_fd.h"
#include "volume/drive_table.h"
#include "volume/source_factory.h"

class QWidget;

namespace harrow::gui {

class DeviceAuthorisation {
public:
    virtual ~DeviceAuthorisation() = default;
    // Whether the service is there to be asked.
    virtual bool available() = 0;
    // A read-only descriptor of `devicePath`; invalid when it was refused or failed, with
    // `error` saying why. Blocks until the user has answered the authorisation.
    virtual UniqueFd openReadOnly(const std::string& devicePath, std::string& error) = 0;
};

// UDisks2 on `bus` (the system bus by default): Manager.ResolveDevice finds the device's block
// object, and Block.OpenDevice("r") opens it.
class UDisks2Authorisation : public DeviceAuthorisation {
public:
    // The system bus, reached the first time the service is needed: a window that never meets an
    // unreadable device never connects to it.
    UDisks2Authorisation() = default;
    explicit UDisks2Authorisation(QDBusConnection bus) : bus_(std::move(bus)) {}
    bool available() override;
    UniqueFd openReadOnly(const std::string& devicePath, std::string& error) override;

    static constexpr const char* kService = "org.freedesktop.UDisks2";

private:
    QDBusConnection& bus();

    std::optional<QDBusConnection> bus_;
};

// Offers to open `entry`, a drive the user may not read, through `auth`: on yes the device is
// opened on a worker thread (the authorisation may take the user a while) and its descriptor
// handed to `sources`, and the table lists the drive readable. True when the drive can be
// opened now; false (having said 70006 where the service is not there) otherwise.
bool offerAuthorisedOpen(QWidget* parent, Prompts& prompts, DeviceAuthorisation* auth, const DriveEntry& entry,
                         SystemSources& sources = SystemSources::global(), DriveTable& table = DriveTable::global());

}  // namespace harrow::gui
