#include "ui/qt_prompts.h"

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QThread>

#include "ui/gui_text.h"
#include "ui/job.h"

namespace harrow::gui {
namespace {

constexpr UiText kOverwriteCaption{"确认替换文件", "Confirm file replacement"};
constexpr UiText kOverwriteQuestion{"覆盖吗 ？", "Overwrite?"};
constexpr UiText kOld{"旧的:", "Old:"};
constexpr UiText kNew{"新的:", "New:"};
constexpr UiText kYesToAll{"全部是(&A)", "Yes to &all"};
constexpr UiText kNoButton{"不(&N)", "&No"};
constexpr UiText kNoToAll{"全部不", "No to all"};
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
        QMessageBox box(QMessageBox::Question, gui::text(kOverwriteCaption),
                        gui::text(kOverwriteQuestion) + "\n\n" + qs(q.name), QMessageBox::NoButton, window_);
        box.setInformativeText(QStringLiteral("%1  %2  %3\n%4  %5  %6")
                                   .arg(gui::text(kOld), qs(q.existingDate), QString::number(q.existingSize),
                                        gui::text(kNew), qs(q.itemDate), QString::number(q.itemSize)));
        const std::pair<UiText, ReplaceAnswer> buttons[] = {{uitext::kYes, ReplaceAnswer::Yes},
                                                            {kYesToAll, ReplaceAnswer::YesToAll},
                                                            {kNoButton, ReplaceAnswer::No},
                                                            {kNoToAll, ReplaceAnswer::NoToAll},
                                                            {uitext::kCancel, ReplaceAnswer::Cancel}};
        std::vector<std::pair<QAbstractButton*, ReplaceAnswer>> made;
        for (const auto& [t, a] : buttons)
            made.emplace_back(box.addButton(gui::text(t), a == ReplaceAnswer::Cancel ? QMessageBox::RejectRole
                                                                                      : QMessageBox::AcceptRole),
                              a);
        ask(box);
        for (const auto& [b, a] : made)
            if (box.clickedButton() == b) answer = a;
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

}  // namespace harrow::gui
