// The connect dialog of remote drives: the servers discovery finds (refreshed while the dialog
// is open), the server's address and the password, which is never shown and never kept.
#pragma once

#include <QDialog>
#include <QSocketNotifier>
#include <QTimer>
#include <memory>
#include <string>

#include "common/prompts.h"
#include "remote/discovery.h"

class QLineEdit;
class QListWidget;
class QRadioButton;

namespace harrow::gui {

class CConnectDlg : public QDialog {
    Q_OBJECT
public:
    CConnectDlg(remote::Protocol protocol, Prompts& prompts, QWidget* parent = nullptr);
    ~CConnectDlg() override;

    remote::Protocol protocol() const;
    QString address() const;
    // Hands the password over once and clears the field.
    std::string takePassword();

    // The parts tests drive.
    QListWidget* serverList() const { return list_; }
    QLineEdit* addressEdit() const { return address_; }
    QLineEdit* passwordEdit() const { return password_; }
    QRadioButton* tcpButton() const { return tcp_; }

    // How often discovery asks again while the dialog is open.
    static constexpr int kRefreshMs = 2000;

private:
    void startDiscovery();
    void answersArrived();
    void serverSelected(int row);

    Prompts& prompts_;
    QRadioButton* tcp_;
    QRadioButton* ipx_;
    QLineEdit* address_;
    QLineEdit* password_;
    QListWidget* list_;
    remote::Discovery discovery_;
    std::unique_ptr<QSocketNotifier> notifier_;
    QTimer refresh_;
};

}  // namespace harrow::gui
