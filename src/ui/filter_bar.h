// Narrowing what the window shows: the filter bar above the list, which hides the rows a filter
// does not keep as a file manager's does, and the dialog that searches the whole volume.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <QToolButton>
#include <QWidget>
#include <optional>

#include "document/item_filter.h"

namespace harrow::gui {

// A filter as a user types it: name patterns separated by spaces or commas (a word without '*',
// '?' or '[' is looked for anywhere in the name), a kind (0 any, 1 files, 2 folders), ItemState
// bits (0: any state), a size bound as "+10M", and dates as "YYYY-MM-DD".
struct FilterFields {
    QString names;
    int kind = 0;
    unsigned states = 0;
    QString size;
    QString newer;
    QString older;
    bool intact = false;

    bool empty() const;
    // The filter; nothing, with the reason in `error`, when the text cannot be one.
    std::optional<ItemFilter> filter(QString& error) const;
};

class FilterBar : public QWidget {
    Q_OBJECT
public:
    explicit FilterBar(QWidget* parent = nullptr);

    QLineEdit* edit() const { return edit_; }
    QToolButton* menuButton() const { return more_; }
    const FilterFields& fields() const { return fields_; }
    // Nothing when it keeps everything or its text is no filter (said beside it).
    std::optional<ItemFilter> filter() const;
    void clear();

signals:
    // The filter changed (after a moment's pause in typing).
    void changed();

private:
    void apply();
    void askSize();
    void askDates();

    QLineEdit* edit_;
    QToolButton* more_;
    QLabel* problem_;
    QTimer typing_;
    FilterFields fields_;
};

// Find on volume: what to look for, for a search of every directory of the volume (and, after a
// scan, of what the scan found).
class CFindDlg : public QDialog {
    Q_OBJECT
public:
    CFindDlg(const FilterFields& start, bool fat, QWidget* parent = nullptr);

    const ItemFilter& filter() const { return filter_; }
    const FilterFields& fields() const { return fields_; }
    QLineEdit* namesEdit() const { return names_; }
    void accept() override;

private:
    QLineEdit* names_;
    QComboBox* kind_;
    QCheckBox* states_[4];
    QLineEdit* size_;
    QLineEdit* newer_;
    QLineEdit* older_;
    QCheckBox* intact_;
    QLabel* problem_;
    FilterFields fields_;
    ItemFilter filter_;
};

}  // namespace harrow::gui
