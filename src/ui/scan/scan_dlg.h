// The disk scan in a window: the scan runs on a worker thread while the dialog shows where it is,
// what it found and how long it will take, and Cancel stops it within one block.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <atomic>
#include <memory>
#include <string>

#include "scan/disk_scan.h"
#include "volume/source_factory.h"

class QLabel;
class QListWidget;
class QProgressBar;
class QThread;

namespace harrow {

class CQUIDNEYDoc;

namespace gui {

class ScanBridge;

// "扫描磁盘": modal; ends Accepted when the whole range was scanned, Rejected when the scan was
// cancelled or stopped. The hits are in the document's lists either way.
class CScanDlg : public QDialog {
    Q_OBJECT
public:
    explicit CScanDlg(CQUIDNEYDoc& doc, QWidget* parent = nullptr);
    ~CScanDlg() override;

    // The scan starts once the dialog is on screen; a dialog shown only to picture a scan
    // (screenshots, tests) turns that off before it is shown.
    void setStartWhenShown(bool start) { startWhenShown_ = start; }

    // What the scan reports, shown as it would be: usable without a running scan.
    void showProgress(const ScanProgress& p);
    void addHitLines(const QStringList& lines);
    void addHitLine(const QString& line) { addHitLines({line}); }

    bool scanning() const;
    bool cancelRequested() const { return cancel_.load(); }

    // Cancel, Escape and the close box: while the scan runs they only ask it to stop; the dialog
    // closes when it has.
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void startScan();
    // Shows what the worker has reported since the last time, then lets it report again after a
    // pause, so a fast scan does not flood the event queue.
    void takeReports();
    void reportsPaused();
    void scanEnded();

    CQUIDNEYDoc& doc_;
    std::atomic<bool> cancel_{false};
    std::unique_ptr<ScanBridge> bridge_;
    std::unique_ptr<QThread> worker_;
    ScanResult result_ = ScanResult::Cancelled;
    bool startWhenShown_ = true;
    bool ended_ = false;

    QLabel* driveName_ = nullptr;
    QLabel* current_ = nullptr;
    QLabel* total_ = nullptr;
    QLabel* foundLabel_ = nullptr;
    QLabel* hits_ = nullptr;
    QLabel* elapsed_ = nullptr;
    QLabel* remaining_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QListWidget* hitList_ = nullptr;
};

// The drive as the scan dialog names it: an image file by its volume label and the drive it lies
// on, any other drive by its root path.
QString scanDriveName(DriveKind kind, const std::string& label, const std::string& rootPath);

// Runs the scan of the document's open drive in the dialog; true when the range was finished.
// The window under it stays closable (and asks whether to stop the scan) while it runs.
bool runScanDialog(QWidget* parent, CQUIDNEYDoc& doc);

}  // namespace gui
}  // namespace harrow
