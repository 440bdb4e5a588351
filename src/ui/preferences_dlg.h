// The preferences: whether deleted folders are listed, and whether a damaged FAT is asked about
// or the chosen copy forced when saving. The dialog works on copies; only OK hands them over.
#pragma once

#include <QDialog>

#include "document/document.h"

class QRadioButton;

namespace harrow::gui {

class CPreferencesDlg : public QDialog {
    Q_OBJECT
public:
    CPreferencesDlg(bool showDeleted, FatPromptMode fatPrompt, QWidget* parent = nullptr);

    bool showDeleted() const { return showDeleted_; }
    FatPromptMode fatPrompt() const { return fatPrompt_; }

    // The radio buttons, for tests.
    QRadioButton* showDeletedButton() const { return show_; }
    QRadioButton* hideDeletedButton() const { return hide_; }
    QRadioButton* promptButton() const { return prompt_; }
    QRadioButton* forceButton() const { return force_; }

private:
    QRadioButton* show_;
    QRadioButton* hide_;
    QRadioButton* prompt_;
    QRadioButton* force_;
    bool showDeleted_;
    FatPromptMode fatPrompt_;
};

// Runs the dialog on the document's options; on OK copies them into the document and returns
// true, and the caller reloads its list.
bool runPreferences(QWidget* parent, CQUIDNEYDoc& doc);

}  // namespace harrow::gui
