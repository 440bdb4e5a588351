// harrowd's dialogs: the password asked at start-up and at New, the connection information, and
// the about box. Their texts come from harrowd's string table.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>

#include "common/strings.h"

class QLineEdit;
class QTreeWidget;

namespace harrow::remote {

class CServerDoc;

// A text of harrowd's table, and the same without its "(&N)" or "&" accelerator and its "...",
// as a caption or a tooltip shows it.
QString serverText(int id);
QString plainServerText(int id);
// A warning with its one button in the program's language.
void warn(QWidget* parent, const QString& title, const QString& text);

// Dialog 131: the password clients must log in with, typed blind. OK takes it only when its
// length is one the server starts with.
class CPasswordDlg : public QDialog {
    Q_OBJECT
public:
    explicit CPasswordDlg(QWidget* parent = nullptr);
    QLineEdit* passwordEdit() const { return edit_; }
    std::string password() const;
    void accept() override;

private:
    QLineEdit* edit_;
};

// Dialog 142: the server's address, and a line per connection in list order: the client's
// address and computer name from its login, and the path of the drive it has open.
class CConnectionInfoDlg : public QDialog {
    Q_OBJECT
public:
    CConnectionInfoDlg(const CServerDoc& server, QWidget* parent = nullptr);
    // The lines as the list holds them, columns joined by tabs.
    QStringList lines() const;

private:
    QTreeWidget* list_;
};

// Dialog 100: the program's name and version, and the server's address.
class CServerAboutDlg : public QDialog {
    Q_OBJECT
public:
    CServerAboutDlg(const QString& address, QWidget* parent = nullptr);
};

}  // namespace harrow::remote
