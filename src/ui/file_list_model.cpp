#include "ui/file_list_model.h"

#include <QColor>
#include <QFont>
#include <algorithm>
#include <numeric>

#include "common/dostime.h"
#include "ui/gui_icons.h"
#include "ui/gui_text.h"
#include "common/text.h"
#include "fatfs/fat_verdict.h"

namespace harrow::gui {

QString sizeText(std::uint64_t bytes) {
    constexpr std::uint64_t kKB = 1024, kMB = 1024 * 1024, kGB = 1024 * 1024 * 1024;
    auto tenths = [&](std::uint64_t unit, const char* suffix) {
        const std::uint64_t t = bytes / unit * 10 + bytes % unit * 10 / unit;  // no overflow near 2^64
        return QStringLiteral("%1.%2%3").arg(t / 10).arg(t % 10).arg(QLatin1String(suffix));
    };
    if (bytes < kKB) return QStringLiteral("%1 bytes").arg(bytes);
    if (bytes < kMB) return tenths(kKB, "KB");
    if (bytes < kGB) return tenths(kMB, "MB");
    return tenths(kGB, "GB");
}

namespace {

constexpr UiText kColumnPath{"路径", "Path"};

int compareNames(const std::string& a, const std::string& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z') x -= 'a' - 'A';
        if (y >= 'a' && y <= 'z') y -= 'a' - 'A';
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

template <typename T>
int compare(T a, T b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

}  // namespace

bool rowLess(const FileItem& a, const FileItem& b, int key, int order) {
    const bool ad = a.isDirectory(), bd = b.isDirectory();
    if (ad != bd) return ad;
    if (ad) {
        for (const char* dot : {".", ".."}) {
            const bool ax = a.name == dot, bx = b.name == dot;
            if (ax != bx) return ax;
            if (ax) return false;
        }
    }
    int c = 0;
    switch (key) {
    case 1:
        c = compare(a.date, b.date);
        if (c == 0) c = compare(a.time, b.time);
        break;
    case 2: c = compare(a.cluster, b.cluster); break;
    // The size as a whole: NTFS files pass 4 GiB.
    case 3: c = compare(a.size, b.size); break;
    default: c = compareNames(a.name, b.name); break;
    }
    return order == 1 ? c < 0 : c > 0;
}

FileListModel::FileListModel(QObject* parent) : QAbstractTableModel(parent) {}

void FileListModel::setRows(std::vector<Row> rows, RowContext context) {
    beginResetModel();
    rows_ = std::move(rows);
    context_ = std::move(context);
    context_.clusterSectors = std::max<std::uint32_t>(context_.clusterSectors, 1);
    icons_.assign(rows_.size(), 0);
    orderRows();
    endResetModel();
}

void FileListModel::setFilter(RowFilter keep) {
    beginResetModel();
    keep_ = std::move(keep);
    orderRows();
    endResetModel();
}

void FileListModel::clear() { setRows({}, RowContext{}); }

void FileListModel::setSort(int key, int order) {
    key_ = key;
    sortOrder_ = order;
    resort();
}

void FileListModel::resort() {
    beginResetModel();
    orderRows();
    endResetModel();
}

void FileListModel::orderRows() {
    order_.clear();
    for (std::uint32_t i = 0; i < rows_.size(); ++i)
        if (!keep_ || keep_(rows_[i], context_)) order_.push_back(i);
    std::stable_sort(order_.begin(), order_.end(), [&](std::uint32_t x, std::uint32_t y) {
        if (key_ == ColPath && rows_[x].folder != rows_[y].folder)
            return sortOrder_ == 1 ? rows_[x].folder < rows_[y].folder : rows_[x].folder > rows_[y].folder;
        return rowLess(rows_[x].item, rows_[y].item, key_ == ColPath ? 0 : key_, sortOrder_);
    });
}

int FileListModel::computeIcon(const FileItem& item) const {
    const bool basicRoot = context_.mode == ID_LIST_BASICROOT;
    switch (item.kind) {
    case ITEM_TOPDIR: return 140;
    case ITEM_DIR: return 142;
    case ITEM_LOSTROOTDIR: return basicRoot ? 140 : 144;
    case ITEM_LOSTDIR: return basicRoot ? 142 : 145;
    case ITEM_SAVEDFILE: return 148;
    case ITEM_LOSTSUBDIR: return 162;
    case ITEM_RENAMEDDIR: return basicRoot ? 142 : 168;
    default: break;
    }
    // Only the tables of the snapshot are read, so this is cheap enough for the rows being painted.
    return fatVerdict(*context_.fat, item);
}

int FileListModel::iconNumber(int row) const {
    const std::uint32_t i = order_[static_cast<std::size_t>(row)];
    if (icons_[i] == 0) icons_[i] = static_cast<std::uint16_t>(computeIcon(rows_[i].item));
    return icons_[i];
}

void FileListModel::markSaved(int row) {
    const std::uint32_t i = order_[static_cast<std::size_t>(row)];
    rows_[i].item.kind = ITEM_SAVEDFILE;
    icons_[i] = 0;
    emit dataChanged(index(row, 0), index(row, 0), {Qt::DecorationRole});
}

void FileListModel::refreshIcons() {
    std::fill(icons_.begin(), icons_.end(), 0);
    if (!order_.empty()) emit dataChanged(index(0, 0), index(itemCount() - 1, 0), {Qt::DecorationRole});
}

int FileListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : itemCount(); }

int FileListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant FileListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= itemCount()) return {};
    const FileItem& item = itemAt(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        switch (index.column()) {
        case ColName: return shownName(index.row());
        case ColDate: return qs(formatDosDate(item.date, item.time));
        case ColCluster: {
            // NTFS items carry the sector of their file record; the column shows its cluster.
            const std::uint64_t c = context_.ntfs ? item.cluster / context_.clusterSectors : item.cluster;
            return QString::number(static_cast<std::uint32_t>(c));
        }
        case ColSize: return QString::number(item.size);
        case ColPath: return folder(index.row());
        default: return {};
        }
    case Qt::DecorationRole:
        if (index.column() == ColName) return itemIcon(iconNumber(index.row()));
        return {};
    case Qt::TextAlignmentRole:
        if (index.column() == ColCluster || index.column() == ColSize) return QVariant(Qt::AlignRight | Qt::AlignVCenter);
        return QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    case Qt::ForegroundRole:
        // Deleted entries read a shade lighter, as they do in a file manager's trash.
        if (item.deleted) return QColor(105, 105, 115);
        return {};
    case Qt::ToolTipRole:
        if (index.column() == ColName) return shownName(index.row());
        if (index.column() == ColPath) return folder(index.row());
        return {};
    default: return {};
    }
}

QVariant FileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal) return {};
    if (role == Qt::DisplayRole) {
        static constexpr int ids[] = {msg::kColumnName, msg::kColumnDate, msg::kColumnCluster, msg::kColumnSize};
        if (section >= 0 && section < ColPath) return message(ids[section]);
        if (section == ColPath) return text(kColumnPath);
    }
    if (role == Qt::TextAlignmentRole)
        return QVariant((section == ColCluster || section == ColSize ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter);
    return {};
}

Qt::ItemFlags FileListModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags f = QAbstractTableModel::flags(index);
    if (index.isValid() && index.column() == ColName) f |= Qt::ItemIsEditable;
    return f;
}

bool FileListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || !index.isValid() || index.column() != ColName) return false;
    const QString text = value.toString();
    // An edit that ends without a new text changes nothing.
    if (text.isEmpty() || text == shownName(index.row())) return false;
    const std::uint32_t i = order_[static_cast<std::size_t>(index.row())];
    FileItem& item = rows_[i].item;
    // Names are kept to 255 bytes, cut at a character.
    QByteArray name = text.toUtf8();
    if (name.size() > static_cast<qsizetype>(kMaxNameBytes)) {
        qsizetype cut = static_cast<qsizetype>(kMaxNameBytes);
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
        name.truncate(cut);
    }
    item.name = name.toStdString();
    rows_[i].name = qs(item.name);
    if (item.kind == ITEM_LOSTDIR) item.kind = ITEM_RENAMEDDIR;
    icons_[i] = 0;
    emit renamed(index.row());
    emit dataChanged(index, index);
    return true;
}

}  // namespace harrow::gui
