// The FAT-copy choice: which FAT copy is followed to read one file (CSaveWithFatDlg,
// dialog 196), another copy when the chosen one does not describe the file being saved
// (CInvalidFatDlg, 198), and the copy directories are read through (CDirFatDlg, 207). One list:
// row 0 "no FAT", then row k for FAT copy k - 1. A volume without FAT copies asks nothing.
#pragma once

#include <QDialog>
#include <optional>
#include <vector>

#include "fatfs/fat_table.h"
#include "items/file_item.h"
#include "saving/save_run.h"

class QLabel;
class QListWidget;

namespace harrow::gui {

using harrow::fatCopyUsable;

class CFatChoiceDlg : public QDialog {
    Q_OBJECT
public:
    // The dialogs' resource numbers.
    enum class Kind { SaveWith = 196, InvalidFat = 198, DirFat = 207 };

    // `item` is the file being read (SaveWith, InvalidFat), DirFat takes none. `current` is the
    // copy that failed (InvalidFat) or the one directories are read through now (DirFat).
    CFatChoiceDlg(Kind kind, const FatTable& fat, const FileItem* item, FatIndex current = 0, QWidget* parent = nullptr);
    // The same, told which copies can read the file (usable[k] for copy k, one per copy).
    CFatChoiceDlg(Kind kind, const std::vector<bool>& usable, FatIndex current = 0, QWidget* parent = nullptr);

    // Runs the dialog modally; Accepted at once, without showing it, when there are no FAT copies.
    int run();
    bool closesAtOnce() const { return closesAtOnce_; }
    // The copy chosen: no FAT until the dialog is confirmed (SaveWith, InvalidFat), the current
    // one (DirFat).
    FatIndex choice() const { return choice_; }

    QListWidget* list() const { return list_; }
    // Text 1070 of CInvalidFatDlg; nullptr in the others.
    QLabel* label() const { return label_; }

    // OK and double-click: take the selected row's FatIndex (the row preselected: for a file the
    // first copy that describes it) and close as confirmed; nothing without a selection.
    void choose();

private:
    QListWidget* list_ = nullptr;
    QLabel* label_ = nullptr;
    bool closesAtOnce_ = false;
    FatIndex choice_ = kNoFat;
};

// The entry points: the copy chosen on OK (no FAT at once when there are no copies; for a file
// whose chain every copy gives alike, the first copy without asking), nothing on Cancel. They change nothing themselves: the caller keeps the choice where it belongs.
std::optional<FatIndex> runSaveWithFat(QWidget* parent, const FatTable& fat, const FileItem& item);
std::optional<FatIndex> runInvalidFat(QWidget* parent, const FatTable& fat, const FileItem& item, FatIndex invalid);
std::optional<FatIndex> runDirFat(QWidget* parent, const FatTable& fat, FatIndex current);

}  // namespace harrow::gui
