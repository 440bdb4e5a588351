// CSaveTargetDlg: where a save run writes, and through which FAT copy it reads. The folders of
// this machine are browsed in the dialog itself (the folder being shown is the dialog's, not the
// process's working directory); the network button stays disabled, as Linux maps no network
// drives: a share is mounted, then chosen like any folder. CNewFolderDlg asks the name of a
// folder to make in the folder shown.
#pragma once

#include <QDialog>

#include "fatfs/fat_table.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace harrow::gui {

class CSaveTargetDlg : public QDialog {
    Q_OBJECT
public:
    // `initial` is the folder saved into last; a folder that is not there any more starts the
    // dialog in the working directory. `fatCopies` is the volume's number of FAT copies (0 on NTFS).
    CSaveTargetDlg(const QString& initial, int fatCopies, QWidget* parent = nullptr);

    // The result: the folder typed or chosen, a relative one taken in the folder shown.
    QString folder() const;
    // The copy files are read through: FAT1 unless the user chose another row.
    FatIndex fat() const;
    // The folder whose lists are shown.
    const QString& shownFolder() const { return shown_; }

    // A double-click on the folder list: "[name]" or "[..]".
    void enterFolder(const QString& entry);

    QLineEdit* folderEdit() const { return edit_; }
    QListWidget* folderList() const { return folders_; }
    QListWidget* fileList() const { return files_; }
    QComboBox* fatBox() const { return fatBox_; }
    QPushButton* newFolderButton() const { return newFolder_; }
    QPushButton* networkButton() const { return network_; }

    // OK: a folder longer than a path may be is refused, and the dialog stays.
    void accept() override;

private:
    void show(const QString& folder);
    void newFolder();

    QString shown_;
    QLineEdit* edit_;
    QListWidget* folders_;
    QListWidget* files_;
    QComboBox* fatBox_;
    QPushButton* newFolder_;
    QPushButton* network_;
};

class CNewFolderDlg : public QDialog {
    Q_OBJECT
public:
    CNewFolderDlg(const QString& current, QWidget* parent = nullptr);
    QString name() const;
    QLineEdit* nameEdit() const { return name_; }

private:
    QLineEdit* name_;
};

}  // namespace harrow::gui
