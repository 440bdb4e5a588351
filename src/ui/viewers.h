// The hex and text viewers: a file's bytes as a save through the chosen FAT copy would read them,
// so the user can judge a FAT copy before saving through it. Both are modal, resizable dialogs
// that read through a FileReader on the open drive, in a job: a slow or remote device shows a wait
// dialog, never a frozen window. Nothing that was not read is ever shown: lines past a failed or
// short read are drawn empty, and the text ends where the read did.
#pragma once

#include <QAbstractScrollArea>
#include <QDialog>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <span>
#include <vector>

#include "fatfs/fat_table.h"
#include "items/file_item.h"

class QPlainTextEdit;

namespace harrow {
class CQUIDNEYDoc;
}

namespace harrow::gui {

// Bytes per hex line.
inline constexpr int kHexLineBytes = 16;
// The most the text viewer shows of a file.
inline constexpr std::size_t kTextViewLimit = 0x8000;

// One line of the hex dump for the bytes at file offset `offset` (at most 16 are used): the offset
// as "%08lX  ", then "%02X " for each byte whose offset is below `fileSize` and three spaces for
// the rest of the 16, then two spaces and one character per byte below the size, bytes below 0x20
// and from 0x80 on shown as '.'. Positions `bytes` does not reach count as past the size.
QString hexLine(std::uint64_t offset, std::span<const std::uint8_t> bytes, std::uint64_t fileSize);

// The text the text viewer shows for `bytes` (as read, at most 32768 of them): up to the first zero
// byte, as UTF-8 when that is valid UTF-8 (a character cut by the 32768-byte limit is dropped),
// else decoded through the volume's OEM code page.
QString viewerText(std::span<const std::uint8_t> bytes);

// The scrolling dump inside CViewHexDlg. topLine is the vertical scroll bar's value.
class HexView : public QAbstractScrollArea {
    Q_OBJECT
public:
    enum class Scroll { LineUp, LineDown, PageUp, PageDown, Top, Bottom };

    HexView(CQUIDNEYDoc& doc, const FileItem& item, FatIndex fat, QWidget* parent = nullptr);

    int totalLines() const { return totalLines_; }
    int pageLines() const { return pageLines_; }
    int topLine() const;
    // Vertical pixels per line; at least 16.
    int linePitch() const { return pitch_; }

    // Every request keeps the top line within [0, totalLines - pageLines]: the last page is shown
    // full, never with blank lines below the end of the file.
    void scroll(Scroll request);
    // The lines the window shows now (reading what is not yet read): one per visible line, the
    // empty string for a line whose bytes could not be read. Lines past the file are not listed.
    QStringList visibleLines();
    // The same from what was read already; painting shows these and never reads.
    QStringList cachedLines() const;
    // The size that shows a full line and about 24 lines.
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    // Range and page of the scroll bar after a size change: a page is the lines that fit whole.
    void updateScrollBar();
    // Lines drawn in the viewport, from the top line on, and not past the file.
    int shownLines() const;
    // Makes sure the bytes of the shown lines are read (or tried).
    void ensureRead(int firstLine, int lines);

    CQUIDNEYDoc& doc_;
    FileItem item_;
    FatIndex fat_;
    int totalLines_ = 0;
    int pageLines_ = 0;
    int pitch_ = 16;
    // The bytes read: from file offset cacheOffset_, `cached_.size()` of them, every one of which
    // arrived. cacheWanted_ is how many were asked for.
    std::uint64_t cacheOffset_ = 0;
    std::uint64_t cacheWanted_ = 0;
    bool cacheValid_ = false;
    std::vector<std::uint8_t> cached_;
    // The drive is not open: nothing to read for this window.
    bool driveFailed_ = false;
};

// CViewHexDlg (dialog 164): the hex dump of one item.
class CViewHexDlg : public QDialog {
    Q_OBJECT
public:
    CViewHexDlg(CQUIDNEYDoc& doc, const FileItem& item, FatIndex fat, QWidget* parent = nullptr);
    HexView* view() const { return view_; }

private:
    HexView* view_;
};

// CViewTextDlg (dialog 163): the start of one item as text, read-only.
class CViewTextDlg : public QDialog {
    Q_OBJECT
public:
    CViewTextDlg(CQUIDNEYDoc& doc, const FileItem& item, FatIndex fat, QWidget* parent = nullptr);
    QPlainTextEdit* edit() const { return edit_; }
    QString text() const;

protected:
    void showEvent(QShowEvent* event) override;

private:
    QPlainTextEdit* edit_;
};

// The entry points for the main window: modal, they return when the user closes the viewer.
void showHexViewer(QWidget* parent, CQUIDNEYDoc& doc, const FileItem& item, FatIndex fat);
void showTextViewer(QWidget* parent, CQUIDNEYDoc& doc, const FileItem& item, FatIndex fat);

}  // namespace harrow::gui
