#include "ui/viewers.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>
#include <string_view>

#include "ui/gui_text.h"
#include "common/text.h"
#include "document/document.h"
#include "document/file_reader.h"
#include "ui/job.h"

namespace harrow::gui {
namespace {

// The dialogs' template captions, shown until an item's caption replaces them.
constexpr UiText kHexTemplateCaption{"查看十六进制", "View hex"};
constexpr UiText kTextTemplateCaption{"查看文本", "View text"};

// The lines a window shows: a margin of 4 pixels above the first and left of each.
constexpr int kMargin = 4;
constexpr int kMinimumPitch = 16;
// Characters of a line whose offset has eight digits.
constexpr int kLineChars = 8 + 2 + 3 * kHexLineBytes + 2 + kHexLineBytes;

struct ReadOutcome {
    bool opened = false;             // the drive was open
    bool begun = false;              // begin read succeeded
    std::vector<std::uint8_t> bytes;  // those that arrived, from the start of the request
};

// Reads `count` bytes of `item` at `offset` as a save through `fat` would, on the open drive, in
// a job.
ReadOutcome readItemBytes(QWidget* parent, CQUIDNEYDoc& doc, const FileItem& item, FatIndex fat, std::uint64_t offset,
                          std::size_t count) {
    ReadOutcome out;
    runJob(parent, qs(item.name), text(uitext::kWaitAMoment), [&](JobObserver&) {
        if (!doc.drive().isOpen()) return;
        out.opened = true;
        FileReader reader(doc.drive(), item, fat);
        if (!reader.ok()) return;
        out.begun = true;
        out.bytes.resize(count);
        const FileReader::Result r = reader.read(offset, out.bytes);
        out.bytes.resize(std::min(r.bytes, count));
    });
    return out;
}

QString caption(const QString& what, const FileItem& item) {
    return QStringLiteral("%1 (%2)").arg(what, qs(item.name));
}

int linesOf(std::uint64_t size) {
    // A line count past INT_MAX (an NTFS file beyond 32 GiB) cannot be scrolled to; the dump
    // shows the file's first 32 GiB.
    return static_cast<int>(std::min<std::uint64_t>((size + kHexLineBytes - 1) / kHexLineBytes, INT_MAX));
}

// Length of the UTF-8 sequence that lead byte `c` starts; 0 for a byte that starts none.
std::size_t utf8SequenceLength(unsigned char c) {
    return c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
}

// Whether `tail` is the start of a UTF-8 sequence longer than itself.
bool isCutSequence(std::string_view tail) {
    const std::size_t n = utf8SequenceLength(static_cast<unsigned char>(tail[0]));
    if (n <= tail.size()) return false;
    for (std::size_t i = 1; i < tail.size(); ++i)
        if ((static_cast<unsigned char>(tail[i]) & 0xC0) != 0x80) return false;
    return true;
}

}  // namespace

QString hexLine(std::uint64_t offset, std::span<const std::uint8_t> bytes, std::uint64_t fileSize) {
    const std::size_t usable = std::min<std::size_t>(bytes.size(), kHexLineBytes);
    auto shown = [&](std::size_t i) { return i < usable && offset + i < fileSize; };
    QString line = QStringLiteral("%1  ").arg(static_cast<qulonglong>(offset), 8, 16, QLatin1Char('0')).toUpper();
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < kHexLineBytes; ++i) {
        if (shown(i)) {
            line += QLatin1Char(kDigits[bytes[i] >> 4]);
            line += QLatin1Char(kDigits[bytes[i] & 0x0F]);
            line += QLatin1Char(' ');
        } else {
            line += QLatin1String("   ");
        }
    }
    line += QLatin1String("  ");
    for (std::size_t i = 0; i < kHexLineBytes && shown(i); ++i) {
        const std::uint8_t b = bytes[i];
        // DEL is a control character too: it would show as a box or nothing.
        line += QLatin1Char(b < 0x20 || b >= 0x7F ? '.' : static_cast<char>(b));
    }
    return line;
}

QString viewerText(std::span<const std::uint8_t> bytes) {
    const auto zero = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
    const bool cutByEnd = zero == bytes.end();
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()),
                                static_cast<std::size_t>(zero - bytes.begin()));
    if (isValidUtf8(text)) return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    // The limit or a failed read may have cut the last character of a UTF-8 text in two.
    if (cutByEnd) {
        for (std::size_t k = 1; k <= 3 && k < text.size(); ++k) {
            const std::string_view head = text.substr(0, text.size() - k);
            if (isCutSequence(text.substr(text.size() - k)) && isValidUtf8(head))
                return QString::fromUtf8(head.data(), static_cast<qsizetype>(head.size()));
        }
    }
    return QString::fromStdString(utf8FromOem(text));
}

// ---- HexView

HexView::HexView(CQUIDNEYDoc& doc, const FileItem& item, FatIndex fat, QWidget* parent)
    : QAbstractScrollArea(parent), doc_(doc), item_(item), fat_(fat), totalLines_(linesOf(item.size)) {
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setStyleHint(QFont::TypeWriter);
    setFont(font);
    viewport()->setFont(font);
    pitch_ = std::max(kMinimumPitch, viewport()->fontMetrics().lineSpacing());
    QPalette pal = viewport()->palette();
    pal.setColor(QPalette::Base, Qt::white);
    pal.setColor(QPalette::Window, Qt::white);
    pal.setColor(QPalette::Text, Qt::black);
    viewport()->setPalette(pal);
    viewport()->setAutoFillBackground(true);
    updateScrollBar();
}

int HexView::topLine() const { return verticalScrollBar()->value(); }

QSize HexView::sizeHint() const {
    const QFontMetrics fm = viewport()->fontMetrics();
    const int frame = 2 * frameWidth();
    // A character's room to spare on each side: painted glyphs may add up to a little more than
    // the metrics say.
    return {kMargin * 2 + fm.horizontalAdvance(QString(kLineChars + 2, QLatin1Char('0'))) + frame +
                verticalScrollBar()->sizeHint().width(),
            kMargin + 24 * pitch_ + frame};
}

void HexView::updateScrollBar() {
    pageLines_ = viewport()->height() / pitch_;
    QScrollBar* bar = verticalScrollBar();
    bar->setRange(0, std::max(0, totalLines_ - pageLines_));
    bar->setPageStep(std::max(1, pageLines_));
    bar->setSingleStep(1);
}

void HexView::scroll(Scroll request) {
    const int top = topLine();
    // The last page shows full: no request moves the top past totalLines - pageLines.
    const int last = std::max(0, totalLines_ - pageLines_);
    int next = top;
    switch (request) {
    case Scroll::LineUp: next = std::max(0, top - 1); break;
    case Scroll::LineDown: next = top < last ? top + 1 : top; break;
    case Scroll::PageUp: next = std::max(0, top - pageLines_); break;
    case Scroll::PageDown: next = std::max(0, std::min(top + pageLines_, last)); break;
    case Scroll::Top: next = 0; break;
    case Scroll::Bottom: next = last; break;
    }
    verticalScrollBar()->setValue(next);
    viewport()->update();
}

int HexView::shownLines() const {
    const int fit = (viewport()->height() + 7) / pitch_;
    return std::max(0, std::min(fit, totalLines_ - topLine()));
}

void HexView::ensureRead(int firstLine, int lines) {
    const std::uint64_t size = item_.size;
    const std::uint64_t offset = std::uint64_t{static_cast<unsigned>(firstLine)} * kHexLineBytes;
    if (driveFailed_ || lines <= 0 || offset >= size) return;
    const std::uint64_t want = std::min<std::uint64_t>(size - offset, std::uint64_t{static_cast<unsigned>(lines)} * kHexLineBytes);
    if (cacheValid_ && offset >= cacheOffset_ && offset + want <= cacheOffset_ + cacheWanted_) return;
    // Read a window more on each side, so that scrolling by a line or a page reads nothing.
    const int from = std::max(0, firstLine - lines);
    const std::uint64_t start = std::uint64_t{static_cast<unsigned>(from)} * kHexLineBytes;
    const std::uint64_t end = std::min<std::uint64_t>(size, offset + want + std::uint64_t{static_cast<unsigned>(lines)} * kHexLineBytes);
    ReadOutcome r = readItemBytes(this, doc_, item_, fat_, start, static_cast<std::size_t>(end - start));
    if (!r.opened) {
        driveFailed_ = true;
        cacheValid_ = false;
        cached_.clear();
        return;
    }
    cacheOffset_ = start;
    cacheWanted_ = end - start;
    cached_ = std::move(r.bytes);
    cacheValid_ = true;
}

QStringList HexView::visibleLines() {
    ensureRead(topLine(), shownLines());
    return cachedLines();
}

QStringList HexView::cachedLines() const {
    QStringList out;
    const int top = topLine();
    const int n = shownLines();
    if (item_.size == 0 || n == 0) return out;
    const std::uint64_t size = item_.size;
    for (int i = 0; i < n; ++i) {
        const std::uint64_t off = std::uint64_t{static_cast<unsigned>(top + i)} * kHexLineBytes;
        const std::uint64_t len = std::min<std::uint64_t>(kHexLineBytes, size - off);
        // A line shows only when every byte of it arrived.
        if (!driveFailed_ && cacheValid_ && off >= cacheOffset_ && off + len <= cacheOffset_ + cached_.size())
            out << hexLine(off, std::span(cached_).subspan(static_cast<std::size_t>(off - cacheOffset_), len), size);
        else
            out << QString();
    }
    return out;
}

void HexView::paintEvent(QPaintEvent*) {
    QPainter p(viewport());
    p.fillRect(viewport()->rect(), Qt::white);
    if (item_.size == 0) return;
    const QStringList lines = cachedLines();
    p.setFont(font());
    p.setPen(Qt::black);
    const QFontMetrics fm = viewport()->fontMetrics();
    const int baseline = (pitch_ - fm.lineSpacing()) / 2 + fm.ascent();
    for (int i = 0; i < lines.size(); ++i)
        if (!lines[i].isEmpty()) p.drawText(kMargin, kMargin + i * pitch_ + baseline, lines[i]);
}

void HexView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBar();
    // Read here rather than in the paint, so that a drive that will not open says so outside it.
    ensureRead(topLine(), shownLines());
    viewport()->update();
}

void HexView::scrollContentsBy(int, int) {
    ensureRead(topLine(), shownLines());
    viewport()->update();
}

void HexView::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_PageUp: scroll(Scroll::PageUp); break;
    case Qt::Key_PageDown: scroll(Scroll::PageDown); break;
    case Qt::Key_Home: scroll(Scroll::Top); break;
    case Qt::Key_End: scroll(Scroll::Bottom); break;
    case Qt::Key_Up: scroll(Scroll::LineUp); break;
    case Qt::Key_Down: scroll(Scroll::LineDown); break;
    case Qt::Key_Left:
    case Qt::Key_Right: break;
    default: event->ignore(); return;
    }
    event->accept();
}

// ---- CViewHexDlg

CViewHexDlg::CViewHexDlg(CQUIDNEYDoc& doc, const FileItem& item, FatIndex fat, QWidget* parent)
    : QDialog(parent), view_(new HexView(doc, item, fat, this)) {
    setWindowTitle(gui::text(kHexTemplateCaption));
    setModal(true);
    setSizeGripEnabled(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view_);
    view_->setFocus();
    setWindowTitle(caption(message(msg::kHexViewCaption), item));
    resize(sizeHint());
}

// ---- CViewTextDlg

CViewTextDlg::CViewTextDlg(CQUIDNEYDoc& doc, const FileItem& item, FatIndex fat, QWidget* parent)
    : QDialog(parent), edit_(new QPlainTextEdit(this)) {
    setWindowTitle(gui::text(kTextTemplateCaption));
    setModal(true);
    setSizeGripEnabled(true);
    edit_->setReadOnly(true);
    // Read-only, yet with a caret the keys move, as the edit control has.
    edit_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    edit_->setLineWrapMode(QPlainTextEdit::NoWrap);
    edit_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    edit_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    edit_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    QPalette pal = edit_->palette();
    pal.setColor(QPalette::Base, Qt::white);
    pal.setColor(QPalette::Text, Qt::black);
    edit_->setPalette(pal);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(edit_);
    resize(640, 480);

    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(item.size, kTextViewLimit));
    if (n == 0) return;
    const ReadOutcome r = readItemBytes(parent, doc, item, fat, 0, n);
    if (!r.begun) return;
    edit_->setPlainText(viewerText(r.bytes));
    edit_->moveCursor(QTextCursor::Start);
    setWindowTitle(caption(message(msg::kTextViewCaption), item));
}

QString CViewTextDlg::text() const { return edit_->toPlainText(); }

void CViewTextDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // scrollPending: the caret at the start, and the start in view.
    edit_->moveCursor(QTextCursor::Start);
    edit_->ensureCursorVisible();
    edit_->setFocus();
}

// ---- Entry points

void showHexViewer(QWidget* parent, CQUIDNEYDoc& doc, const FileItem& item, FatIndex fat) {
    CViewHexDlg dlg(doc, item, fat, parent);
    dlg.exec();
}

void showTextViewer(QWidget* parent, CQUIDNEYDoc& doc, const FileItem& item, FatIndex fat) {
    CViewTextDlg dlg(doc, item, fat, parent);
    dlg.exec();
}

}  // namespace harrow::gui
