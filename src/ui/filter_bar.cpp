#include "ui/filter_bar.h"

#include <QActionGroup>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QMenu>
#include <QRegularExpression>
#include <QVBoxLayout>
#include <tuple>
#include <vector>

#include "ui/gui_text.h"

namespace harrow::gui {
namespace {

constexpr UiText kFilterPlaceholder{"按名称筛选:*.jpg report …", "Filter by name: *.jpg report ..."};
constexpr UiText kFilterMenu{"筛选", "Filter"};
constexpr UiText kStateNames[] = {{"现存", "Live"}, {"已删除", "Deleted"}, {"丢失", "Lost"}, {"已保存", "Saved"}};
constexpr unsigned kStateBits[] = {STATE_LIVE, STATE_DELETED, STATE_LOST, STATE_SAVED};
constexpr UiText kKinds[] = {{"文件和文件夹", "Files and folders"}, {"仅文件", "Files only"}, {"仅文件夹", "Folders only"}};
constexpr UiText kSizeAction{"大小(&S)...", "&Size..."};
constexpr UiText kDatesAction{"日期(&D)...", "&Dates..."};
constexpr UiText kClearFilter{"清除筛选(&C)", "&Clear filter"};
constexpr UiText kFindCaption{"在卷上查找", "Find on volume"};
constexpr UiText kFindNames{"名称(&N):", "&Name:"};
constexpr UiText kFindNamesHint{"*.xls report*(空白:所有名称)", "*.xls report* (empty: every name)"};
constexpr UiText kFindKind{"类型(&T):", "&Type:"};
constexpr UiText kFindState{"状态:", "State:"};
constexpr UiText kFindSize{"大小(&S):", "&Size:"};
constexpr UiText kFindSizeHint{"+10M 至少,-1k 至多,300 正好", "+10M at least, -1k at most, 300 exactly"};
constexpr UiText kFindNewer{"不早于(&A):", "On or &after:"};
constexpr UiText kFindOlder{"早于(&B):", "&Before:"};
constexpr UiText kDateHint{"YYYY-MM-DD", "YYYY-MM-DD"};
constexpr UiText kFindIntact{"仅簇看来完好的文件 (FAT)", "Only files whose clusters look intact (FAT)"};

QString plain(const UiText& label) {
    QString t = text(label);
    t.remove(QRegularExpression(QStringLiteral("\\(&.\\)|&")));
    return t;
}

QLabel* problemLabel(QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(QStringLiteral("filterProblem"));
    label->setStyleSheet(QStringLiteral("color: #b00020"));
    label->setWordWrap(true);
    label->hide();
    return label;
}

}  // namespace

bool FilterFields::empty() const {
    return names.trimmed().isEmpty() && kind == 0 && states == 0 && size.trimmed().isEmpty() &&
           newer.trimmed().isEmpty() && older.trimmed().isEmpty() && !intact;
}

std::optional<ItemFilter> FilterFields::filter(QString& error) const {
    ItemFilter f;
    std::string why;
    auto refused = [&] {
        error = qs(why);
        return std::nullopt;
    };
    for (const QString& word : names.split(QRegularExpression(QStringLiteral("[\\s,]+")), Qt::SkipEmptyParts)) {
        // A plain word is looked for anywhere in the name, as a file manager's filter does.
        const bool pattern = word.contains(QLatin1Char('*')) || word.contains(QLatin1Char('?')) || word.contains(QLatin1Char('['));
        auto glob = NameGlob::parse(ss(pattern ? word : QStringLiteral("*%1*").arg(word)), why);
        if (!glob) return refused();
        f.names.push_back(std::move(*glob));
    }
    if (kind != 0) f.directories = kind == 2;
    f.states = states;
    if (!size.trimmed().isEmpty()) {
        auto bound = parseSizeBound(ss(size.trimmed()), why);
        if (!bound) return refused();
        f.narrowSize(*bound);
    }
    for (auto [from, into] : {std::pair{&newer, &f.newer}, std::pair{&older, &f.older}}) {
        if (from->trimmed().isEmpty()) continue;
        auto date = parseFilterDate(ss(from->trimmed()), why);
        if (!date) return refused();
        *into = *date;
    }
    f.intactOnly = intact;
    if (!f.check(why)) return refused();
    return f;
}

FilterBar::FilterBar(QWidget* parent) : QWidget(parent), edit_(new QLineEdit(this)), more_(new QToolButton(this)) {
    setObjectName(QStringLiteral("filterBar"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 4);
    auto* row = new QHBoxLayout;
    edit_->setObjectName(QStringLiteral("filterText"));
    edit_->setPlaceholderText(text(kFilterPlaceholder));
    edit_->setClearButtonEnabled(true);
    row->addWidget(edit_, 1);
    more_->setObjectName(QStringLiteral("filterMenu"));
    more_->setText(text(kFilterMenu));
    more_->setPopupMode(QToolButton::InstantPopup);
    more_->setToolButtonStyle(Qt::ToolButtonTextOnly);
    row->addWidget(more_);
    layout->addLayout(row);
    problem_ = problemLabel(this);
    layout->addWidget(problem_);

    auto* menu = new QMenu(more_);
    for (int i = 0; i < 4; ++i) {
        QAction* a = menu->addAction(text(kStateNames[i]));
        a->setCheckable(true);
        connect(a, &QAction::toggled, this, [this, bit = kStateBits[i]](bool on) {
            fields_.states = on ? (fields_.states | bit) : (fields_.states & ~bit);
            apply();
        });
    }
    menu->addSeparator();
    auto* kinds = new QActionGroup(menu);
    for (int i = 0; i < 3; ++i) {
        QAction* a = menu->addAction(text(kKinds[i]));
        a->setCheckable(true);
        a->setChecked(i == 0);
        kinds->addAction(a);
        connect(a, &QAction::triggered, this, [this, i] {
            fields_.kind = i;
            apply();
        });
    }
    menu->addSeparator();
    menu->addAction(text(kSizeAction), this, &FilterBar::askSize);
    menu->addAction(text(kDatesAction), this, &FilterBar::askDates);
    menu->addSeparator();
    menu->addAction(text(kClearFilter), this, &FilterBar::clear);
    more_->setMenu(menu);

    // A list of 100,000 rows is filtered once typing pauses, not at every key.
    typing_.setSingleShot(true);
    typing_.setInterval(200);
    connect(&typing_, &QTimer::timeout, this, [this] {
        fields_.names = edit_->text();
        apply();
    });
    connect(edit_, &QLineEdit::textChanged, this, [this] { typing_.start(); });
    // Enter filters at once.
    connect(edit_, &QLineEdit::returnPressed, this, [this] {
        typing_.stop();
        fields_.names = edit_->text();
        apply();
    });
}

std::optional<ItemFilter> FilterBar::filter() const {
    QString error;
    return fields_.empty() ? std::nullopt : fields_.filter(error);
}

void FilterBar::apply() {
    QString error;
    const bool fits = fields_.filter(error).has_value();
    problem_->setText(error);
    problem_->setVisible(!fits);
    // The menu button says when more than the names narrows the list.
    const bool more = fields_.kind != 0 || fields_.states != 0 || !fields_.size.isEmpty() || !fields_.newer.isEmpty() ||
                      !fields_.older.isEmpty();
    more_->setText(more ? text(kFilterMenu) + QStringLiteral(" *") : text(kFilterMenu));
    emit changed();
}

void FilterBar::clear() {
    typing_.stop();
    fields_ = {};
    const QSignalBlocker block(edit_);
    edit_->clear();
    for (QAction* a : more_->menu()->actions()) {
        const QSignalBlocker quiet(a);
        if (a->isCheckable()) a->setChecked(a->text() == text(kKinds[0]));
    }
    apply();
}

namespace {

// A small dialog of labelled text fields: the fields hold what was typed when it returns true.
bool askTexts(QWidget* parent, const UiText& title, std::initializer_list<std::tuple<UiText, QString*, UiText>> fields) {
    QDialog d(parent);
    d.setWindowTitle(plain(title));
    auto* form = new QFormLayout(&d);
    std::vector<QLineEdit*> edits;
    for (const auto& [label, value, hint] : fields) {
        auto* edit = new QLineEdit(*value, &d);
        edit->setPlaceholderText(text(hint));
        form->addRow(text(label), edit);
        edits.push_back(edit);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &d);
    form->addRow(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &d, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &d, &QDialog::reject);
    if (d.exec() != QDialog::Accepted) return false;
    auto edit = edits.begin();
    for (const auto& field : fields) *std::get<1>(field) = (*edit++)->text().trimmed();
    return true;
}

}  // namespace

void FilterBar::askSize() {
    if (askTexts(window(), kSizeAction, {{kFindSize, &fields_.size, kFindSizeHint}})) apply();
}

void FilterBar::askDates() {
    if (askTexts(window(), kDatesAction, {{kFindNewer, &fields_.newer, kDateHint}, {kFindOlder, &fields_.older, kDateHint}}))
        apply();
}

CFindDlg::CFindDlg(const FilterFields& start, bool fat, QWidget* parent) : QDialog(parent), fields_(start) {
    setObjectName(QStringLiteral("findOnVolume"));
    setWindowTitle(text(kFindCaption));
    auto* form = new QFormLayout(this);
    names_ = new QLineEdit(start.names, this);
    names_->setPlaceholderText(text(kFindNamesHint));
    // What the filter bar held is offered, and typing replaces it.
    names_->selectAll();
    form->addRow(text(kFindNames), names_);
    kind_ = new QComboBox(this);
    for (const UiText& k : kKinds) kind_->addItem(text(k));
    kind_->setCurrentIndex(start.kind);
    form->addRow(text(kFindKind), kind_);
    auto* states = new QHBoxLayout;
    for (int i = 0; i < 4; ++i) {
        states_[i] = new QCheckBox(text(kStateNames[i]), this);
        states_[i]->setChecked(start.states & kStateBits[i]);
        states->addWidget(states_[i]);
    }
    states->addStretch(1);
    form->addRow(text(kFindState), states);
    size_ = new QLineEdit(start.size, this);
    size_->setPlaceholderText(text(kFindSizeHint));
    form->addRow(text(kFindSize), size_);
    newer_ = new QLineEdit(start.newer, this);
    older_ = new QLineEdit(start.older, this);
    newer_->setPlaceholderText(text(kDateHint));
    older_->setPlaceholderText(text(kDateHint));
    form->addRow(text(kFindNewer), newer_);
    form->addRow(text(kFindOlder), older_);
    intact_ = new QCheckBox(text(kFindIntact), this);
    intact_->setChecked(start.intact && fat);
    intact_->setEnabled(fat);
    form->addRow(intact_);
    problem_ = problemLabel(this);
    form->addRow(problem_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    form->addRow(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &CFindDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    resize(520, sizeHint().height());
}

void CFindDlg::accept() {
    FilterFields f;
    f.names = names_->text();
    f.kind = kind_->currentIndex();
    for (int i = 0; i < 4; ++i)
        if (states_[i]->isChecked()) f.states |= kStateBits[i];
    f.size = size_->text().trimmed();
    f.newer = newer_->text().trimmed();
    f.older = older_->text().trimmed();
    f.intact = intact_->isChecked();
    QString error;
    auto made = f.filter(error);
    if (!made) {
        // Said beside the fields; the dialog stays for the user to mend them.
        problem_->setText(error);
        problem_->show();
        return;
    }
    fields_ = f;
    filter_ = std::move(*made);
    QDialog::accept();
}

}  // namespace harrow::gui
