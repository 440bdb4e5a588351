// The FAT-copy choice: which FAT copy is followed to read one file (CSaveWithFatDlg,
// dialog 196), another copy when the chosen one does not describe the file being saved
// (CInvalidFatDlg, 198), and the copy directories are read through (CDirFatDlg, 207). One list:
// row 0 "no FAT", then row k for FAT copy k - 1. A volume without FAT copies asks nothing.
#pragma once

#include <QDialog>

#include "fatfs/fat_table.h"
#include "items/file_item.h"

class QLabel;
class QListWidget;

namespace harrow {
class CQUIDNEYDoc;
}

namespace harrow::gui {

// Whether FAT copy `copy` can be used to read `item`: begin read works and either the chain fits
// the size or the first cluster is free (a deleted file). Reads only the tables in memory.
bool fatCopyUsable(CQUIDNEYDoc& doc, const FileItem& item, FatIndex copy);

class CFatChoiceDlg : public QDialog {
    Q_OBJECT
public:
    // The dialogs' resource numbers.
    enum class Kind { SaveWith = 196, InvalidFat = 198, DirFat = 207 };

    // `item` is the file being read (SaveWith, InvalidFat); DirFat takes none. SaveWith and
    // InvalidFat set the document's saveFat to -1 here, so a cancelled choice reads with no FAT.
    CFatChoiceDlg(Kind kind, CQUIDNEYDoc& doc, const FileItem* item, QWidget* parent = nullptr);

    // Runs the dialog modally; Accepted at once, without showing it, when the drive has no FAT copies.
    int run();
    bool closesAtOnce() const { return closesAtOnce_; }

    QListWidget* list() const { return list_; }
    // Text 1070 of CInvalidFatDlg; nullptr in the others.
    QLabel* label() const { return label_; }

    // OK and double-click: store the first selected row's FatIndex and close as confirmed;
    // nothing without a selection.
    void choose();

private:
    Kind kind_;
    CQUIDNEYDoc& doc_;
    QListWidget* list_ = nullptr;
    QLabel* label_ = nullptr;
    bool closesAtOnce_ = false;
};

// The entry points. Each returns true on OK (or at once without FAT copies), false on Cancel.
// runSaveWithFat and runInvalidFat leave the choice in doc.saveFat (-1 after a cancel),
// runDirFat in doc.dirFat (unchanged after a cancel).
bool runSaveWithFat(QWidget* parent, CQUIDNEYDoc& doc, const FileItem& item);
bool runInvalidFat(QWidget* parent, CQUIDNEYDoc& doc, const FileItem& item);
bool runDirFat(QWidget* parent, CQUIDNEYDoc& doc);

}  // namespace harrow::gui
