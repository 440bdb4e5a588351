// The Prompts seam in the desktop application: message boxes and the FAT choice, in the language
// of the string table. Core code may call it from a worker thread; the question is then asked on
// the GUI thread while the worker waits for the answer. A job that was asked to stop is answered
// "cancel" (no, skip) at once and shown no more messages.
#pragma once

#include <QPointer>
#include <QWidget>

#include "common/prompts.h"

namespace harrow::gui {

class QtPrompts : public Prompts {
public:
    explicit QtPrompts(QWidget* window = nullptr) : window_(window) {}
    // The window the message boxes belong to.
    void setWindow(QWidget* window) { window_ = window; }

    void showMessage(int id, const std::string& text, MsgIcon icon) override;
    bool askYesNo(int id, const std::string& text) override;
    ReplaceAnswer askOverwrite(const OverwriteQuestion& q) override;
    FatChoice chooseFat(int invalidFat, int fatCount) override;
    FatChoice chooseFatShowing(int invalidFat, const std::vector<bool>& usable) override;

private:
    QPointer<QWidget> window_;
};

// Runs `f` on the GUI thread and waits for it; at once when called there.
void onGuiThread(const std::function<void()>& f);

// Closes the question on the screen, if any, as if it was cancelled (a job asked to stop).
void dismissQuestions();

}  // namespace harrow::gui
