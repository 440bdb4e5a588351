#include "ui/saving/save_target_dlg.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFormLayout>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>
#include <climits>

#include "ui/gui_text.h"

namespace harrow::gui {
namespace {

constexpr UiText kCaption{"保存", "Save"};
constexpr UiText kFolderName{"文件夹名称:", "Folder name:"};
constexpr UiText kFolders{"文件夹:", "Folders:"};
constexpr UiText kFiles{"文件:", "Files:"};
constexpr UiText kFat{"FAT :", "FAT:"};
constexpr UiText kNetwork{"网络(&W)...", "Net&work..."};
constexpr UiText kNetworkTip{"Linux 不映射网络驱动器：请先挂载网络共享 (例如 mount -t cifs)，再选择其中的文件夹。",
                             "Linux maps no network drives: mount the share first (for example with mount -t cifs), "
                             "then choose a folder in it."};
constexpr UiText kNewFolder{"新建文件夹", "New folder"};
constexpr UiText kWithContents{"选定的文件夹连同其中的全部内容一起保存。",
                               "Selected folders are saved with everything in them."};
constexpr UiText kNewFolderCaption{"创建文件夹", "Create folder"};
constexpr UiText kCurrentFolder{"当前文件夹:", "Current folder:"};
constexpr UiText kNewFolderName{"新建文件夹名称:", "New folder name:"};

// A path holds at most this many bytes on Linux; Windows held the folder to 80 characters.
constexpr int kMaxFolderBytes = PATH_MAX - 1;

}  // namespace

CSaveTargetDlg::CSaveTargetDlg(const QString& initial, int fatCopies, QWidget* parent)
    : QDialog(parent), edit_(new QLineEdit(this)), folders_(new QListWidget(this)), files_(new QListWidget(this)),
      fatBox_(new QComboBox(this)), newFolder_(new QPushButton(text(kNewFolder), this)),
      network_(new QPushButton(text(kNetwork), this)) {
    setWindowTitle(text(kCaption));
    setModal(true);
    files_->setSelectionMode(QAbstractItemView::NoSelection);  // for information only
    for (QListWidget* l : {folders_, files_}) l->setMinimumHeight(200);
    network_->setEnabled(false);
    network_->setToolTip(text(kNetworkTip));

    fatBox_->addItem(message(msg::kNoFat));
    for (int k = 1; k <= fatCopies; ++k) fatBox_->addItem(QStringLiteral("FAT%1").arg(k));
    // FAT1 where there is one: it follows a fragmented file where "no FAT" reads it wrong without
    // a word, and a file its chain does not describe is still asked about.
    fatBox_->setCurrentIndex(fatCopies > 0 ? 1 : 0);
    fatBox_->setEnabled(fatCopies > 0);

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(text(kFolderName), this), 0, 0);
    grid->addWidget(edit_, 1, 0, 1, 2);
    grid->addWidget(new QLabel(text(kFolders), this), 2, 0);
    grid->addWidget(new QLabel(text(kFiles), this), 2, 1);
    grid->addWidget(folders_, 3, 0);
    grid->addWidget(files_, 3, 1);
    auto* fatRow = new QFormLayout;
    fatRow->addRow(text(kFat), fatBox_);
    grid->addLayout(fatRow, 4, 0);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, Qt::Vertical, this);
    buttons->button(QDialogButtonBox::Ok)->setText(text(uitext::kOk));
    buttons->button(QDialogButtonBox::Cancel)->setText(text(uitext::kCancel));
    buttons->addButton(network_, QDialogButtonBox::ActionRole);
    buttons->addButton(newFolder_, QDialogButtonBox::ActionRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &CSaveTargetDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    newFolder_->setAutoDefault(false);
    connect(newFolder_, &QPushButton::clicked, this, &CSaveTargetDlg::newFolder);
    connect(folders_, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem* i) { enterFolder(i->text()); });

    auto* top = new QHBoxLayout;
    top->addLayout(grid, 1);
    top->addWidget(buttons);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(new QLabel(text(kWithContents), this));
    resize(560, 400);

    const QFileInfo start(initial);
    show(!initial.isEmpty() && start.isAbsolute() && start.isDir() ? initial : QDir::currentPath());
}

void CSaveTargetDlg::show(const QString& folder) {
    const QDir dir(folder);
    // A folder that cannot be read leaves the lists as they were.
    if (!dir.exists() || !dir.isReadable()) return;
    shown_ = QDir::cleanPath(dir.absolutePath());
    edit_->setText(shown_);
    folders_->clear();
    files_->clear();
    const QStringList subfolders = dir.entryList(QDir::Dirs | QDir::NoDot | QDir::Hidden, QDir::Name);
    for (const QString& name : subfolders)
        if (name != ".." || shown_ != QStringLiteral("/")) folders_->addItem(QStringLiteral("[%1]").arg(name));
    files_->addItems(dir.entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name));
}

void CSaveTargetDlg::enterFolder(const QString& entry) {
    QString name = entry;
    if (name.endsWith(']')) name.chop(1);
    if (name.startsWith('[')) name.remove(0, 1);
    show(QDir(shown_).filePath(name));
}

void CSaveTargetDlg::newFolder() {
    CNewFolderDlg dlg(shown_, this);
    // A folder that cannot be made shows itself by its absence from the list.
    if (dlg.exec() == QDialog::Accepted && !dlg.name().isEmpty()) QDir(shown_).mkdir(dlg.name());
    show(shown_);
}

QString CSaveTargetDlg::folder() const {
    const QString typed = edit_->text();
    return typed.isEmpty() ? shown_ : QDir::cleanPath(QDir(shown_).absoluteFilePath(typed));
}

FatIndex CSaveTargetDlg::fat() const { return fatBox_->currentIndex() - 1; }

void CSaveTargetDlg::accept() {
    if (folder().toUtf8().size() > kMaxFolderBytes) {
        QMessageBox::warning(this, message(msg::kTitle), message(msg::kTooManyChars, kMaxFolderBytes));
        return;
    }
    QDialog::accept();
}

CNewFolderDlg::CNewFolderDlg(const QString& current, QWidget* parent) : QDialog(parent), name_(new QLineEdit(this)) {
    setWindowTitle(text(kNewFolderCaption));
    auto* shown = new QLabel(current, this);
    shown->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(text(uitext::kOk));
    buttons->button(QDialogButtonBox::Cancel)->setText(text(uitext::kCancel));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(text(kCurrentFolder), this));
    layout->addWidget(shown);
    layout->addWidget(new QLabel(text(kNewFolderName), this));
    layout->addWidget(name_);
    layout->addWidget(buttons);
}

// A name, not a path: the folder is made in the folder shown and nowhere else.
QString CNewFolderDlg::name() const {
    const QString n = name_->text();
    return n.contains('/') || n == QStringLiteral(".") || n == QStringLiteral("..") ? QString() : n;
}

}  // namespace harrow::gui
