#include "ui/about_dlg.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "ui/gui_icons.h"
#include "ui/gui_text.h"

#ifndef HARROW_VERSION
#error "HARROW_VERSION comes from the build (the project version)"
#endif


namespace harrow::gui {
namespace {

constexpr UiText kAboutCaption{"关于 Harrow", "About Harrow"};
constexpr UiText kVersion{"版本 %1", "Version %1"};
constexpr UiText kPurpose{"从 FAT、exFAT 和 NTFS 卷中恢复已删除或丢失的文件。",
                          "Gets deleted and lost files back from FAT, exFAT and NTFS volumes."};
constexpr UiText kLicence{"本程序是自由软件，按 GNU GPL 第 3 版或 (由您选择) 任何更新版本的条款发布，不提供任何担保。",
                          "Harrow is free software under the GNU GPL v3 or later, and comes with no warranty."};
constexpr UiText kLicenceLink{"GNU 通用公共许可证第 3 版", "GNU General Public License v3"};
constexpr UiText kHelpLink{"Harrow 帮助", "Harrow help"};

constexpr char kLicenceUrl[] = "https://www.gnu.org/licenses/gpl-3.0.html";
constexpr char kHelpTarget[] = "help";

QString versionText() { return text(kVersion).arg(QStringLiteral(HARROW_VERSION)); }

QLabel* link(const QString& target, const QString& title, QWidget* parent) {
    auto* label = new QLabel(QStringLiteral("<a href=\"%1\">%2</a>").arg(target, title.toHtmlEscaped()), parent);
    label->setTextFormat(Qt::RichText);
    label->setTextInteractionFlags(Qt::TextBrowserInteraction);
    return label;
}

}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent),
      licenceLink_(link(QString::fromLatin1(kLicenceUrl), text(kLicenceLink), this)),
      helpLink_(link(QString::fromLatin1(kHelpTarget), text(kHelpLink), this)) {
    setWindowTitle(text(kAboutCaption));
    loadResources();

    auto* icon = new QLabel(this);
    icon->setPixmap(appIcon().pixmap(64, 64));
    icon->setAlignment(Qt::AlignTop);
    auto* name = new QLabel(QStringLiteral("<b>Harrow</b> ") + versionText(), this);
    auto* purpose = new QLabel(text(kPurpose), this);
    auto* licence = new QLabel(text(kLicence), this);
    for (QLabel* l : {purpose, licence}) l->setWordWrap(true);

    licenceLink_->setOpenExternalLinks(true);
    // The help lives in the program's resources, which the desktop cannot open.
    // The about box is gone before the help is read, so the window belongs to the box's parent.
    connect(helpLink_, &QLabel::linkActivated, this, [this] { showHelp(parentWidget()); });

    auto* texts = new QVBoxLayout;
    for (QWidget* w : std::initializer_list<QWidget*>{name, purpose, licence, licenceLink_, helpLink_}) texts->addWidget(w);
    auto* top = new QHBoxLayout;
    top->addWidget(icon);
    top->addLayout(texts, 1);

    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(text(uitext::kOk), QDialogButtonBox::AcceptRole)->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(buttons);
    setMinimumWidth(420);
}

CSplashDlg::CSplashDlg(QWidget* parent) : QDialog(parent, Qt::SplashScreen | Qt::FramelessWindowHint) {
    loadResources();
    auto* icon = new QLabel(this);
    icon->setPixmap(appIcon().pixmap(128, 128));
    icon->setAlignment(Qt::AlignCenter);
    auto* name = new QLabel(QStringLiteral("<h1>Harrow</h1>"), this);
    name->setAlignment(Qt::AlignCenter);
    auto* version = new QLabel(versionText(), this);
    version->setAlignment(Qt::AlignCenter);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(32, 24, 32, 24);
    layout->addWidget(icon);
    layout->addWidget(name);
    layout->addWidget(version);

    timer_.setInterval(kTickMs);
    connect(&timer_, &QTimer::timeout, this, &CSplashDlg::onTick);
}

void CSplashDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    const QScreen* screen = parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
    if (screen) move(screen->availableGeometry().center() - rect().center());
    ticks_ = 0;
    timer_.start();
}

void CSplashDlg::onTick() {
    if (++ticks_ < kTicks) return;
    timer_.stop();
    accept();
}

void runAbout(QWidget* parent) {
    CAboutDlg dlg(parent);
    dlg.exec();
}

void runSplash() {
    CSplashDlg splash;
    splash.exec();
}

void showHelp(QWidget* parent) {
    // One help window at a time: asking again brings it forward.
    static QPointer<QTextBrowser> window;
    if (!window) {
        loadResources();
        window = new QTextBrowser(parent);
        window->setWindowFlag(Qt::Window);
        window->setAttribute(Qt::WA_DeleteOnClose);
        window->setOpenExternalLinks(true);
        window->setWindowTitle(text(kHelpLink));
        window->setSource(QUrl(language() == Lang::En ? QStringLiteral("qrc:/harrow/help_en.html")
                                                      : QStringLiteral("qrc:/harrow/help.html")));
        window->resize(640, 520);
    }
    window->show();
    window->raise();
    window->activateWindow();
}

}  // namespace harrow::gui
