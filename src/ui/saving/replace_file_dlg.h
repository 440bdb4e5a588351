// CReplaceFileDlg: a file of the name being saved is in the target folder already; replace it?
// It shows both files' dates and sizes and takes one of five answers. The close box and Escape
// count as Cancel.
#pragma once

#include <QDialog>

#include "common/prompts.h"

class QLabel;
class QPushButton;

namespace harrow::gui {

class CReplaceFileDlg : public QDialog {
    Q_OBJECT
public:
    explicit CReplaceFileDlg(const OverwriteQuestion& q, QWidget* parent = nullptr);
    // Cancel until a button says otherwise.
    ReplaceAnswer answer() const { return answer_; }
    QPushButton* button(ReplaceAnswer a) const;
    QLabel* nameLabel() const { return name_; }

private:
    QLabel* name_;
    std::vector<std::pair<QPushButton*, ReplaceAnswer>> buttons_;
    ReplaceAnswer answer_ = ReplaceAnswer::Cancel;
};

}  // namespace harrow::gui
