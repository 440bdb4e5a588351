#include "ui/connect_dlg.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "ui/gui_text.h"

namespace harrow::gui {
namespace {

constexpr UiText kCaption{"连接...", "Connect..."};
constexpr UiText kProtocol{"协议", "Protocol"};
constexpr UiText kAddress{"服务器地址:", "Server address:"};
constexpr UiText kPassword{"密码:", "Password:"};
constexpr UiText kNeighbourhood{"网络邻居", "Network neighbourhood"};
constexpr UiText kConnect{"连接", "Connect"};

}  // namespace

CConnectDlg::CConnectDlg(remote::Protocol protocol, Prompts& prompts, QWidget* parent)
    : QDialog(parent),
      prompts_(prompts),
      tcp_(new QRadioButton(QStringLiteral("TCP/IP (Harrowd)"), this)),
      ipx_(new QRadioButton(QStringLiteral("IPX/SPX (Harrowipx)"), this)),
      address_(new QLineEdit(this)),
      password_(new QLineEdit(this)),
      list_(new QListWidget(this)) {
    setWindowTitle(text(kCaption));
    (protocol == remote::Protocol::Ipx ? ipx_ : tcp_)->setChecked(true);
    password_->setEchoMode(QLineEdit::Password);
    password_->setMaxLength(static_cast<int>(remote::LoginRequest::kMaxPassword));
    // Nothing typed there may reach a clipboard, an input method's memory or an accessibility tree.
    password_->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText);
    password_->setContextMenuPolicy(Qt::NoContextMenu);
    list_->setMinimumSize(320, 160);

    auto* protocols = new QGroupBox(text(kProtocol), this);
    auto* protocolLayout = new QVBoxLayout(protocols);
    protocolLayout->addWidget(tcp_);
    protocolLayout->addWidget(ipx_);
    auto* form = new QFormLayout;
    form->addRow(text(kAddress), address_);
    form->addRow(text(kPassword), password_);
    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(text(kConnect), QDialogButtonBox::AcceptRole)->setDefault(true);
    buttons->addButton(text(uitext::kCancel), QDialogButtonBox::RejectRole);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(protocols);
    layout->addLayout(form);
    layout->addWidget(new QLabel(text(kNeighbourhood), this));
    layout->addWidget(list_);
    layout->addWidget(buttons);

    connect(tcp_, &QRadioButton::toggled, this, [this] { startDiscovery(); });
    connect(list_, &QListWidget::currentRowChanged, this, &CConnectDlg::serverSelected);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(&refresh_, &QTimer::timeout, this, [this] { discovery_.refresh(); });
    startDiscovery();
    // The address is typed first, unless a server is picked from the list.
    address_->setFocus();
}

CConnectDlg::~CConnectDlg() {
    notifier_.reset();
    password_->clear();
}

remote::Protocol CConnectDlg::protocol() const { return ipx_->isChecked() ? remote::Protocol::Ipx : remote::Protocol::Tcp; }

QString CConnectDlg::address() const { return address_->text().trimmed(); }

std::string CConnectDlg::takePassword() {
    std::string p = ss(password_->text());
    password_->clear();
    return p;
}

void CConnectDlg::startDiscovery() {
    notifier_.reset();
    refresh_.stop();
    discovery_.stop();
    list_->clear();
    // There are no IPX sockets here: discovery stays off, as it does where no socket can be made.
    if (protocol() != remote::Protocol::Tcp) return;
    switch (discovery_.start()) {
    case remote::Discovery::Start::NoSocket: return;
    case remote::Discovery::Start::Failed:
        prompts_.showMessage(msg::kSocketFailed, messageText(msg::kSocketFailed), MsgIcon::Error);
        return;
    case remote::Discovery::Start::Started: break;
    }
    notifier_ = std::make_unique<QSocketNotifier>(discovery_.fd(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &CConnectDlg::answersArrived);
    refresh_.start(kRefreshMs);
}

void CConnectDlg::answersArrived() {
    if (!discovery_.receive()) return;
    const int row = list_->currentRow();
    list_->blockSignals(true);
    list_->clear();
    for (const remote::ServerEntry& e : discovery_.servers())
        list_->addItem(qs(e.address) + QLatin1Char('\t') + qs(e.computerName));
    if (row >= 0 && row < list_->count()) list_->setCurrentRow(row);
    list_->blockSignals(false);
}

void CConnectDlg::serverSelected(int row) {
    if (row < 0) return;
    address_->setText(qs(discovery_.connectText(static_cast<std::size_t>(row))));
}

}  // namespace harrow::gui
