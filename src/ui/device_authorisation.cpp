#include "ui/device_authorisation.h"

#include <fcntl.h>

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>

#include "ui/gui_text.h"
#include "ui/job.h"

namespace harrow::gui {
namespace {

constexpr UiText kOpening{"正在请求授权", "Asking for authorisation"};
// The user may take their time over the authorisation dialog.
constexpr int kAuthorisationTimeoutMs = 10 * 60 * 1000;

}  // namespace

QDBusConnection& UDisks2Authorisation::bus() {
    if (!bus_) bus_ = QDBusConnection::systemBus();
    return *bus_;
}

bool UDisks2Authorisation::available() {
    if (!bus().isConnected() || !bus().interface()) return false;
    const QString name = QString::fromLatin1(kService);
    return bus().interface()->isServiceRegistered(name).value() ||
           bus().interface()->activatableServiceNames().value().contains(name);
}

UniqueFd UDisks2Authorisation::openReadOnly(const std::string& devicePath, std::string& error) {
    const QString service = QString::fromLatin1(kService);
    QDBusMessage resolve = QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/UDisks2/Manager"),
                                                          QStringLiteral("org.freedesktop.UDisks2.Manager"),
                                                          QStringLiteral("ResolveDevice"));
    resolve << QVariantMap{{QStringLiteral("path"), qs(devicePath)}} << QVariantMap{};
    const QDBusReply<QList<QDBusObjectPath>> objects = bus().call(resolve);
    if (!objects.isValid() || objects.value().isEmpty()) {
        error = objects.isValid() ? "UDisks2 does not know " + devicePath : ss(objects.error().message());
        return UniqueFd();
    }
    QDBusMessage open = QDBusMessage::createMethodCall(service, objects.value().front().path(),
                                                       QStringLiteral("org.freedesktop.UDisks2.Block"),
                                                       QStringLiteral("OpenDevice"));
    // Read-only, whatever else the service would allow.
    open << QStringLiteral("r") << QVariantMap{};
    const QDBusReply<QDBusUnixFileDescriptor> fd = bus().call(open, QDBus::Block, kAuthorisationTimeoutMs);
    if (!fd.isValid() || !fd.value().isValid()) {
        error = fd.isValid() ? "no descriptor came back" : ss(fd.error().message());
        return UniqueFd();
    }
    // The reply's descriptor closes with the reply: keep one of our own.
    return UniqueFd(::fcntl(fd.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0));
}

bool offerAuthorisedOpen(QWidget* parent, Prompts& prompts, DeviceAuthorisation* auth, const DriveEntry& entry,
                         SystemSources& sources, DriveTable& table) {
    // The desktop's authorisation hands out devices; a file's permissions are its owner's to change.
    if (const MessageId<TextArg> advice = noPermissionMessage(entry.path);
        !auth || !auth->available() || advice.id == msg::kNoPermissionFile.id) {
        prompts.showMessage(advice.id, formatMessage(advice, entry.path), MsgIcon::Exclamation);
        return false;
    }
    if (!prompts.askYesNo(msg::kOpenThroughAuthorisation, formatMessage(msg::kOpenThroughAuthorisation, entry.path)))
        return false;
    UniqueFd fd;
    std::string error;
    runJob(parent, text(kOpening), text(uitext::kWaitAMoment), [&](JobObserver&) { fd = auth->openReadOnly(entry.path, error); });
    if (!fd.valid()) {
        prompts.showMessage(msg::kAuthorisationFailed, formatMessage(msg::kAuthorisationFailed, entry.path, error),
                            MsgIcon::Exclamation);
        return false;
    }
    sources.handOver(entry.path, std::move(fd));
    DriveEntry readable = entry;
    readable.readable = true;
    table.set(std::move(readable));
    return true;
}

}  // namespace harrow::gui
