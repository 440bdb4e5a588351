#include "ui/start_page.h"

#include <QAction>
#include <QCommandLinkButton>
#include <QShortcut>
#include <QLabel>
#include <QSettings>
#include <QVBoxLayout>

#include "ui/gui_icons.h"
#include "ui/gui_text.h"

namespace harrow::gui {
namespace {

constexpr UiText kWhatItDoes{"Harrow 从损坏或被清空的 FAT、exFAT 和 NTFS 驱动器中找回文件(包括已删除的文件),并保存到另一个驱动器;它从不写入所读的驱动器。",
                             "Harrow finds the files of damaged or emptied FAT, exFAT and NTFS drives, deleted ones "
                             "included, and saves them to another drive. It never writes to the drive it reads."};
constexpr UiText kStartOpenDrive{"打开驱动器", "Open drive"};
constexpr UiText kStartOpenDriveNote{"本机的磁盘、分区或U盘", "A disk, partition or stick of this machine"};
constexpr UiText kStartOpenImage{"打开镜像文件", "Open image file"};
constexpr UiText kStartOpenImageNote{"磁盘或卷的原始镜像,或 .dsk 镜像文件", "A raw image of a disk or volume, or a .dsk image file"};
constexpr UiText kStartConnect{"连接到服务器", "Connect to server"};
constexpr UiText kStartConnectNote{"另一台机器上 harrowd 提供的驱动器", "The drives harrowd serves on another machine"};
constexpr UiText kRecentHeading{"最近打开", "Recently opened"};

QSettings settings() { return QSettings(QStringLiteral("Harrow"), QStringLiteral("harrow")); }

const QString kRecentKey = QStringLiteral("recent/sources");

}  // namespace

QStringList recentSources() {
    QStringList list = settings().value(kRecentKey).toStringList();
    list.removeAll(QString());
    list.removeDuplicates();
    return list.mid(0, kRecentSources);
}

void rememberSource(const QString& source) {
    if (source.isEmpty()) return;
    QStringList list = recentSources();
    list.removeAll(source);
    list.prepend(source);
    settings().setValue(kRecentKey, list.mid(0, kRecentSources));
}

StartPage::StartPage(QAction* openDrive, QAction* openImage, QAction* connect, QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("startPage"));
    setAutoFillBackground(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(48, 36, 48, 36);
    layout->setSpacing(10);

    auto* about = new QLabel(text(kWhatItDoes), this);
    about->setObjectName(QStringLiteral("whatItDoes"));
    about->setWordWrap(true);
    QFont big = about->font();
    big.setPointSizeF(big.pointSizeF() * 1.15);
    about->setFont(big);
    layout->addWidget(about);
    layout->addSpacing(12);

    const struct {
        QAction* action;
        UiText label, note;
        int icon;
        const char* name;
    } buttons[] = {{openDrive, kStartOpenDrive, kStartOpenDriveNote, 57601, "startOpenDrive"},
                   {openImage, kStartOpenImage, kStartOpenImageNote, 33001, "startOpenImage"},
                   {connect, kStartConnect, kStartConnectNote, 32813, "startConnect"}};
    for (const auto& b : buttons) {
        auto* button = new QCommandLinkButton(text(b.label), text(b.note), this);
        button->setObjectName(QString::fromLatin1(b.name));
        button->setIcon(commandIcon(b.icon));
        button->setIconSize(QSize(40, 40));
        button->setMaximumWidth(560);
        QAction* action = b.action;
        button->setEnabled(action->isEnabled());
        QObject::connect(action, &QAction::changed, button, [button, action] { button->setEnabled(action->isEnabled()); });
        QObject::connect(button, &QAbstractButton::clicked, action, &QAction::trigger);
        layout->addWidget(button);
    }

    recentBox_ = new QWidget(this);
    auto* recentLayout = new QVBoxLayout(recentBox_);
    recentLayout->setContentsMargins(0, 16, 0, 0);
    recentLayout->addWidget(new QLabel(QStringLiteral("<b>%1</b>").arg(text(kRecentHeading).toHtmlEscaped()), recentBox_));
    recent_ = new QListWidget(recentBox_);
    recent_->setObjectName(QStringLiteral("recentSources"));
    recent_->setMaximumWidth(560);
    recent_->setFrameShape(QFrame::NoFrame);
    recentLayout->addWidget(recent_);
    layout->addWidget(recentBox_);
    layout->addStretch(1);
    // One click opens, as the buttons above do; Enter opens the current row. (Not through
    // activation, which a double click would give on top of its first click.)
    auto open = [this](QListWidgetItem* item) {
        if (item) emit openRecent(item->data(Qt::UserRole).toString());
    };
    QObject::connect(recent_, &QListWidget::itemClicked, this, open);
    for (const QKeySequence& key : {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)}) {
        auto* enter = new QShortcut(key, recent_, nullptr, nullptr, Qt::WidgetShortcut);
        QObject::connect(enter, &QShortcut::activated, this, [this, open] { open(recent_->currentItem()); });
    }
}

void StartPage::setRecent(const QStringList& sources) {
    recent_->clear();
    for (const QString& source : sources) {
        const bool device = source.startsWith(QLatin1String("/dev/"));
        auto* item = new QListWidgetItem(device ? itemIcon(134) : commandIcon(33001), source, recent_);
        item->setData(Qt::UserRole, source);
        item->setToolTip(source);
    }
    recent_->setFixedHeight(recent_->sizeHintForRow(0) * static_cast<int>(sources.size()) + 4);
    recentBox_->setVisible(!sources.isEmpty());
}

}  // namespace harrow::gui
