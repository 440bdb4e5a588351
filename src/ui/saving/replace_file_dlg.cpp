#include "ui/saving/replace_file_dlg.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/gui_icons.h"
#include "ui/gui_text.h"

namespace harrow::gui {
namespace {

constexpr UiText kCaption{"确认替换文件", "Confirm file replacement"};
constexpr UiText kQuestion{"覆盖吗 ？", "Overwrite?"};
constexpr UiText kOld{"旧的:", "Old:"};
constexpr UiText kNew{"新的:", "New:"};
constexpr UiText kDate{"日期", "Date"};
constexpr UiText kSize{"大小", "Size"};
constexpr UiText kYesToAll{"全部是(&A)", "Yes to &all"};
constexpr UiText kNoButton{"不(&N)", "&No"};
constexpr UiText kNoToAll{"全部不", "No to all"};

constexpr int kIcon = 173;

}  // namespace

CReplaceFileDlg::CReplaceFileDlg(const OverwriteQuestion& q, QWidget* parent)
    : QDialog(parent), name_(new QLabel(qs(q.name), this)) {
    setWindowTitle(text(kCaption));
    setModal(true);
    auto* icon = new QLabel(this);
    icon->setPixmap(itemIcon(kIcon).pixmap(32, 32));
    name_->setObjectName(QStringLiteral("name"));
    name_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(text(kDate), this), 0, 1, Qt::AlignCenter);
    grid->addWidget(new QLabel(text(kSize), this), 0, 2, Qt::AlignRight);
    const struct {
        UiText label;
        const std::string& date;
        std::uint64_t size;
    } rows[] = {{kOld, q.existingDate, q.existingSize}, {kNew, q.itemDate, q.itemSize}};
    int r = 1;
    for (const auto& row : rows) {
        grid->addWidget(new QLabel(text(row.label), this), r, 0);
        grid->addWidget(new QLabel(qs(row.date), this), r, 1, Qt::AlignCenter);
        grid->addWidget(new QLabel(QString::number(row.size), this), r, 2, Qt::AlignRight);
        ++r;
    }
    grid->setColumnMinimumWidth(1, 170);
    grid->setColumnMinimumWidth(2, 90);

    auto* text = new QVBoxLayout;
    text->addWidget(new QLabel(gui::text(kQuestion), this));
    text->addWidget(name_);
    text->addLayout(grid);
    auto* top = new QHBoxLayout;
    top->addWidget(icon, 0, Qt::AlignTop);
    top->addLayout(text);

    auto* row = new QHBoxLayout;
    const std::pair<UiText, ReplaceAnswer> answers[] = {{uitext::kYes, ReplaceAnswer::Yes},
                                                        {kYesToAll, ReplaceAnswer::YesToAll},
                                                        {kNoButton, ReplaceAnswer::No},
                                                        {kNoToAll, ReplaceAnswer::NoToAll},
                                                        {uitext::kCancel, ReplaceAnswer::Cancel}};
    for (const auto& [label, answer] : answers) {
        auto* b = new QPushButton(gui::text(label), this);
        b->setAutoDefault(false);
        row->addWidget(b);
        buttons_.emplace_back(b, answer);
        connect(b, &QPushButton::clicked, this, [this, answer] {
            answer_ = answer;
            if (answer == ReplaceAnswer::Cancel) reject();
            else accept();
        });
    }
    buttons_.front().first->setDefault(true);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(row);
}

QPushButton* CReplaceFileDlg::button(ReplaceAnswer a) const {
    for (const auto& [b, answer] : buttons_)
        if (answer == a) return b;
    return nullptr;
}

}  // namespace harrow::gui
