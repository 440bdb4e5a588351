#include "ui/scan/skip_ranges_dlg.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <limits>

#include "ui/gui_text.h"
#include "scan/skip_ranges.h"

namespace harrow::gui {
namespace {

constexpr UiText kSkipCaption{"输入要跳过的簇", "Enter the clusters to skip"};
constexpr UiText kClusterRange{"簇范围 :", "Cluster range:"};
constexpr UiText kRangeCaption{"簇范围", "Cluster range"};
constexpr UiText kFrom{"从", "From"};
constexpr UiText kTo{"到", "To"};
constexpr UiText kClear{"清除(&C)", "&Clear"};
constexpr UiText kAdd{"添加(&A)", "&Add"};
constexpr UiText kDelete{"删除(&D)", "&Delete"};
constexpr UiText kEdit{"编辑(&E)", "&Edit"};
constexpr UiText kNotANumber{"请输入 0 到 4294967295 之间的十进制整数。",
                             "Enter a decimal whole number from 0 to 4294967295."};

}  // namespace

CRangeDlg::CRangeDlg(Prompts& prompts, std::uint32_t first, std::uint32_t last, QWidget* parent)
    : QDialog(parent), prompts_(prompts), first_(first), last_(last) {
    setWindowTitle(text(kRangeCaption));
    setModal(true);

    auto edit = [this](std::uint32_t v, const char* name) {
        auto* e = new QLineEdit(QString::number(v), this);
        e->setObjectName(QLatin1String(name));
        e->setMinimumWidth(e->fontMetrics().horizontalAdvance(QStringLiteral("44444444444")) + 12);
        return e;
    };
    firstEdit_ = edit(first, "first");
    lastEdit_ = edit(last, "last");

    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel(text(kFrom), this));
    row->addWidget(firstEdit_, 1);
    row->addWidget(new QLabel(QStringLiteral("--"), this));
    row->addWidget(new QLabel(text(kTo), this));
    row->addWidget(lastEdit_, 1);

    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(text(uitext::kOk), QDialogButtonBox::AcceptRole)->setDefault(true);
    buttons->addButton(text(uitext::kCancel), QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &CRangeDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CRangeDlg::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(buttons);
    firstEdit_->selectAll();
}

std::optional<std::uint32_t> CRangeDlg::numberIn(QLineEdit* edit) {
    const QString s = edit->text().trimmed();
    bool ok = !s.isEmpty();
    for (QChar c : s) ok = ok && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    // Digits only: no sign, and no wrap-around of a negative number into a large cluster.
    const qulonglong v = ok ? s.toULongLong(&ok) : 0;
    if (ok && v <= std::numeric_limits<std::uint32_t>::max()) return static_cast<std::uint32_t>(v);
    prompts_.showMessage(0, ss(text(kNotANumber)));
    edit->setFocus();
    edit->selectAll();
    return std::nullopt;
}

void CRangeDlg::accept() {
    const auto first = numberIn(firstEdit_);
    if (!first) return;
    const auto last = numberIn(lastEdit_);
    if (!last) return;
    if (!validSkipRange(*first, *last)) {
        prompts_.showMessage(msg::kInvalidRange.id, messageText(msg::kInvalidRange.id));
        lastEdit_->setFocus();
        lastEdit_->selectAll();
        return;
    }
    first_ = *first;
    last_ = *last;
    QDialog::accept();
}

CSkipRangesDlg::CSkipRangesDlg(CQUIDNEYDoc& doc, QWidget* parent)
    : QDialog(parent), doc_(doc), ranges_(doc.skipRanges) {
    setWindowTitle(text(kSkipCaption));
    setModal(true);

    list_ = new QTreeWidget(this);
    list_->setObjectName(QStringLiteral("ranges"));
    list_->setColumnCount(2);
    list_->setHeaderLabels({text(kFrom), text(kTo)});
    list_->setRootIsDecorated(false);
    list_->setUniformRowHeights(true);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->header()->setStretchLastSection(true);
    list_->setColumnWidth(0, list_->fontMetrics().horizontalAdvance(QStringLiteral("4444444444")) + 24);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, [this] { editClicked(); });

    auto button = [this](const UiText& t, const char* name, void (CSkipRangesDlg::*clicked)()) {
        auto* b = new QPushButton(text(t), this);
        b->setObjectName(QLatin1String(name));
        b->setAutoDefault(false);
        connect(b, &QPushButton::clicked, this, clicked);
        return b;
    };
    auto* side = new QVBoxLayout;
    side->addWidget(button(kClear, "clear", &CSkipRangesDlg::clearClicked));
    side->addWidget(button(kAdd, "add", &CSkipRangesDlg::addClicked));
    side->addWidget(button(kDelete, "delete", &CSkipRangesDlg::deleteClicked));
    side->addWidget(button(kEdit, "edit", &CSkipRangesDlg::editClicked));
    side->addStretch();

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* choose = buttons->addButton(text(uitext::kChoose), QDialogButtonBox::AcceptRole);
    choose->setDefault(true);
    buttons->addButton(text(uitext::kCancel), QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &CSkipRangesDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CSkipRangesDlg::reject);

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(text(kClusterRange), this), 0, 0);
    grid->addWidget(list_, 1, 0);
    grid->addLayout(side, 1, 1);
    grid->setRowStretch(1, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid, 1);
    layout->addWidget(buttons);
    setMinimumSize(360, 260);
    fillList();
}

void CSkipRangesDlg::fillList(int select) {
    list_->clear();
    for (const SkipRange& r : ranges_)
        list_->addTopLevelItem(new QTreeWidgetItem({QString::number(r.first), QString::number(r.last)}));
    if (select >= 0 && select < list_->topLevelItemCount()) list_->setCurrentItem(list_->topLevelItem(select));
}

std::optional<std::size_t> CSkipRangesDlg::selectedLine() const {
    const QList<QTreeWidgetItem*> picked = list_->selectedItems();
    if (ranges_.empty() || picked.isEmpty()) return std::nullopt;
    const int line = list_->indexOfTopLevelItem(picked.front());
    if (line < 0 || static_cast<std::size_t>(line) >= ranges_.size()) return std::nullopt;
    return static_cast<std::size_t>(line);
}

std::optional<SkipRange> CSkipRangesDlg::askRange(SkipRange start) {
    CRangeDlg dialog(doc_.prompts(), start.first, start.last, this);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return SkipRange{dialog.first(), dialog.last()};
}

void CSkipRangesDlg::clearClicked() {
    ranges_.clear();
    fillList();
}

void CSkipRangesDlg::addClicked() {
    if (const auto r = askRange({})) {
        insertSkipRange(ranges_, r->first, r->last);
        fillList();
    }
}

void CSkipRangesDlg::deleteClicked() {
    if (const auto line = selectedLine()) {
        removeSkipRange(ranges_, *line);
        fillList(static_cast<int>(*line));
    }
}

void CSkipRangesDlg::editClicked() {
    const auto line = selectedLine();
    if (!line) return;
    if (const auto r = askRange(ranges_[*line])) {
        // Out and in again, so the range moves to its sorted place (and 0 to 0 deletes it).
        removeSkipRange(ranges_, *line);
        insertSkipRange(ranges_, r->first, r->last);
        fillList();
    }
}

void CSkipRangesDlg::accept() {
    doc_.skipRanges = ranges_;
    QDialog::accept();
}

bool runSkipRangesDialog(QWidget* parent, CQUIDNEYDoc& doc) {
    CSkipRangesDlg dialog(doc, parent);
    return dialog.exec() == QDialog::Accepted;
}

}  // namespace harrow::gui
