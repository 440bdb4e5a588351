// The open flow's modal steps in the desktop application. The open flow itself runs on a worker
// thread (see CMainFrame::openWith); the scan dialog is shown on the GUI thread while that worker
// waits, and the naming pass runs on the worker under the open's wait dialog.
#pragma once

#include <QPointer>
#include <QWidget>

#include "document/document.h"

namespace harrow::gui {

class GuiHost : public DocHost {
public:
    explicit GuiHost(QWidget* window) : window_(window) {}
    void setObserver(ListObserver* observer) { observer_ = observer; }

    void runScan(CQUIDNEYDoc& doc) override;
    void runNamingPass(CQUIDNEYDoc& doc) override;
    ListObserver* rootListObserver() override { return observer_; }
    // The scan ran and was stopped before the end of its range: its lists hold part of the disk.
    bool scanCancelled() const { return scanCancelled_; }

private:
    QPointer<QWidget> window_;
    ListObserver* observer_ = nullptr;
    bool scanCancelled_ = false;
};

}  // namespace harrow::gui
