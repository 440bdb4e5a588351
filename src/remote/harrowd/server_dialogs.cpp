#include "remote/harrowd/server_dialogs.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "remote/harrowd/server_icons.h"
#include "remote/server.h"

namespace harrow::remote {
namespace {

// What a client sent, fit to be shown: a control character could break the list's line.
QString shown(std::string text) {
    for (char& ch : text)
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) ch = '?';
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QDialogButtonBox* okCancel(QDialog* dialog, bool cancel) {
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | (cancel ? QDialogButtonBox::Cancel : QDialogButtonBox::NoButton));
    buttons->button(QDialogButtonBox::Ok)->setText(serverText(servermsg::kOk));
    if (cancel) buttons->button(QDialogButtonBox::Cancel)->setText(serverText(servermsg::kCancel));
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return buttons;
}

}  // namespace

QString serverText(int id) { return QString::fromUtf8(serverMessageText(id)); }

QString plainServerText(int id) {
    QString t = serverText(id);
    t.remove(QRegularExpression(QStringLiteral("\\(&.\\)")));
    t.remove(QLatin1Char('&'));
    if (t.endsWith(QStringLiteral("..."))) t.chop(3);
    return t.trimmed();
}

void warn(QWidget* parent, const QString& title, const QString& text) {
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, parent);
    box.button(QMessageBox::Ok)->setText(serverText(servermsg::kOk));
    box.exec();
}

CPasswordDlg::CPasswordDlg(QWidget* parent) : QDialog(parent), edit_(new QLineEdit) {
    setWindowTitle(serverText(servermsg::kPasswordCaption));
    edit_->setEchoMode(QLineEdit::Password);
    edit_->setMaxLength(static_cast<int>(LoginRequest::kMaxPassword));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(serverText(servermsg::kPasswordLabel)));
    layout->addWidget(edit_);
    layout->addWidget(okCancel(this, true));
    setMinimumWidth(300);
}

std::string CPasswordDlg::password() const { return edit_->text().toStdString(); }

void CPasswordDlg::accept() {
    // Counted in bytes, as the login field carries them.
    const std::size_t length = password().size();
    if (length < kMinPassword || length > LoginRequest::kMaxPassword) {
        warn(this, windowTitle(),
             QString::fromStdString(formatServerMessage(servermsg::kPasswordLength, static_cast<int>(kMinPassword),
                                                        static_cast<int>(LoginRequest::kMaxPassword))));
        edit_->setFocus();
        edit_->selectAll();
        return;
    }
    QDialog::accept();
}

CConnectionInfoDlg::CConnectionInfoDlg(const CServerDoc& server, QWidget* parent)
    : QDialog(parent), list_(new QTreeWidget) {
    setWindowTitle(plainServerText(servermsg::kConnectionInfo));
    auto* address = new QLabel(QString::fromStdString(server.hostText().address));
    address->setObjectName(QStringLiteral("address"));
    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(serverText(servermsg::kServerAddress)));
    top->addWidget(address, 1);
    list_->setColumnCount(3);
    list_->setHeaderHidden(true);
    list_->setRootIsDecorated(false);
    // Only to be read: no line is chosen, none shows a caret.
    list_->setSelectionMode(QAbstractItemView::NoSelection);
    list_->setFocusPolicy(Qt::NoFocus);
    // The tab stops of the list: address, name, then the path takes the rest.
    list_->setColumnWidth(0, 120);
    list_->setColumnWidth(1, 120);
    for (const auto& c : server.connections()) {
        QStringList columns{QString(), QString(), shown(c->path)};
        if (const auto login = LoginRequest::parse(c->login); login && c->loggedIn) {
            columns[0] = shown(login->clientAddress);
            columns[1] = shown(login->clientName);
        }
        list_->addTopLevelItem(new QTreeWidgetItem(columns));
    }
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(list_);
    layout->addWidget(okCancel(this, false));
    resize(420, 260);
}

QStringList CConnectionInfoDlg::lines() const {
    QStringList out;
    for (int i = 0; i < list_->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = list_->topLevelItem(i);
        out << item->text(0) + '\t' + item->text(1) + '\t' + item->text(2);
    }
    return out;
}

CServerAboutDlg::CServerAboutDlg(const QString& address, QWidget* parent) : QDialog(parent) {
    setWindowTitle(plainServerText(servermsg::kAbout));
    auto* icon = new QLabel;
    icon->setPixmap(trayIcon(true).pixmap(48, 48));
    auto* name = new QLabel(QStringLiteral("<b>%1</b>").arg(serverText(servermsg::kProgramTitle)));
    auto* version = new QLabel(QString::fromStdString(formatServerMessage(servermsg::kAboutText, HARROW_VERSION)));
    auto* where = new QLabel(serverText(servermsg::kServerAddress) + ' ' + address);
    where->setObjectName(QStringLiteral("address"));
    auto* texts = new QVBoxLayout;
    texts->addWidget(name);
    texts->addWidget(version);
    texts->addWidget(where);
    auto* row = new QHBoxLayout;
    row->addWidget(icon, 0, Qt::AlignTop);
    row->addLayout(texts, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(okCancel(this, false));
}

}  // namespace harrow::remote
