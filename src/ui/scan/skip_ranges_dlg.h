// The cluster ranges the disk scan skips, edited in a list: the changes reach the document only
// when the user chooses them.
#pragma once

#include <QDialog>
#include <cstdint>
#include <optional>
#include <vector>

#include "document/document.h"

class QLineEdit;
class QTreeWidget;

namespace harrow::gui {

// "簇范围": one range, from and to, both included. OK refuses text that is no 32-bit unsigned
// decimal number and a range whose end lies below its start, and stays open to be corrected.
class CRangeDlg : public QDialog {
    Q_OBJECT
public:
    CRangeDlg(Prompts& prompts, std::uint32_t first, std::uint32_t last, QWidget* parent = nullptr);

    std::uint32_t first() const { return first_; }
    std::uint32_t last() const { return last_; }

    void accept() override;

private:
    // The number in `edit`, or nothing after telling the user why not.
    std::optional<std::uint32_t> numberIn(QLineEdit* edit);

    Prompts& prompts_;
    QLineEdit* firstEdit_ = nullptr;
    QLineEdit* lastEdit_ = nullptr;
    std::uint32_t first_ = 0;
    std::uint32_t last_ = 0;
};

// "输入要跳过的簇": works on a copy of the document's ranges, stored into the document on
// "选择" and dropped on "取消".
class CSkipRangesDlg : public QDialog {
    Q_OBJECT
public:
    explicit CSkipRangesDlg(CQUIDNEYDoc& doc, QWidget* parent = nullptr);

    const std::vector<SkipRange>& ranges() const { return ranges_; }

    void accept() override;

private:
    void fillList(int select = -1);
    // The selected line, when the list has one.
    std::optional<std::size_t> selectedLine() const;
    // Dialog "簇范围" with these values; the values entered, or nothing on cancel.
    std::optional<SkipRange> askRange(SkipRange start);

    void clearClicked();
    void addClicked();
    void deleteClicked();
    void editClicked();

    CQUIDNEYDoc& doc_;
    std::vector<SkipRange> ranges_;
    QTreeWidget* list_ = nullptr;
};

// True when the user chose the ranges (they are then the document's).
bool runSkipRangesDialog(QWidget* parent, CQUIDNEYDoc& doc);

}  // namespace harrow::gui
