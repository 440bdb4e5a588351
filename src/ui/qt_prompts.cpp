#include "ui/qt_prompts.h"

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QThread>

#include "ui/gui_text.h"
#include "ui/job.h"
#include "ui/saving/fat_choice_dlg.h"
#include "ui/saving/replace_file_dlg.h"

namespace harrow::gui {
namespace {

constexpr UiText kSaveWith{"保存以", "Save with"};

QMessageBox::Icon boxIcon(MsgIcon icon) {
    switch (icon) {
    case MsgIcon::Information: return QMessageBox::Information;
    case MsgIcon::Error: return QMessageBox::Critical;
    case MsgIcon::Exclamation: break;
    }
    return QMessageBox::Warning;
}

// The question on the screen now, which a stop request closes as cancelled.
QPointer<QDialog> gOpenQuestion;

// Shows `box` as the open question; its result as exec() gives it, or Rejected when a stop
// request closed it.
int ask(QDialog& box) {
    gOpenQuestion = &box;
    const int result = box.exec();
    gOpenQuestion = nullptr;
    return result;
}

}  // namespace

void dismissQuestions() {
    if (gOpenQuestion) gOpenQuestion->reject();
}

void onGuiThread(const std::function<void()>& f) {
    if (!qApp || QThread::currentThread() == qApp->thread()) {
        f();
        return;
    }
    QMetaObject::invokeMethod(qApp, f, Qt::BlockingQueuedConnection);
}

void QtPrompts::showMessage(int, const std::string& text, MsgIcon icon) {
    // Work that was asked to stop says nothing more: the user is waiting for it to end.
    if (jobs::stopPending()) return;
    onGuiThread([&] {
        QMessageBox box(boxIcon(icon), message(msg::kTitle), qs(text), QMessageBox::Ok, window_);
        ask(box);
    });
}

bool QtPrompts::askYesNo(int, const std::string& text) {
    bool yes = false;
    if (jobs::stopPending()) return yes;
    onGuiThread([&] {
        QMessageBox box(QMessageBox::Question, message(msg::kTitle), qs(text).trimmed(), QMessageBox::NoButton, window_);
        QPushButton* y = box.addButton(gui::text(uitext::kYes), QMessageBox::YesRole);
        box.addButton(gui::text(uitext::kNo), QMessageBox::NoRole);
        box.setDefaultButton(y);
        ask(box);
        yes = box.clickedButton() == y;
    });
    return yes;
}

ReplaceAnswer QtPrompts::askOverwrite(const OverwriteQuestion& q) {
    ReplaceAnswer answer = ReplaceAnswer::Cancel;
    if (jobs::stopPending()) return answer;
    onGuiThread([&] {
        CReplaceFileDlg dlg(q, window_);
        ask(dlg);
        answer = dlg.answer();
    });
    return answer;
}

FatChoice QtPrompts::chooseFat(int invalidFat, int fatCount) {
    FatChoice choice;
    if (jobs::stopPending()) return choice;
    onGuiThread([&] {
        QStringList rows{message(msg::kNoFat)};
        for (int k = 1; k <= fatCount; ++k) rows << QStringLiteral("FAT%1").arg(k);
        QInputDialog box(window_);
        box.setWindowTitle(gui::text(kSaveWith));
        box.setLabelText(message(msg::kFatInvalid, invalidFat + 1));
        box.setComboBoxItems(rows);
        box.setComboBoxEditable(false);
        if (ask(box) == QDialog::Accepted) choice.copy = static_cast<int>(rows.indexOf(box.textValue())) - 1;
    });
    return choice;
}

FatChoice QtPrompts::chooseFatShowing(int invalidFat, const std::vector<bool>& usable) {
    FatChoice choice;
    if (jobs::stopPending()) return choice;
    onGuiThread([&] {
        CFatChoiceDlg dlg(CFatChoiceDlg::Kind::InvalidFat, usable, invalidFat, window_);
        if (dlg.closesAtOnce() || ask(dlg) == QDialog::Accepted) choice.copy = dlg.choice();
    });
    return choice;
}

}  // namespace harrow::gui
