#include "ui/gui_host.h"

#include "ui/scan/scan_dlg.h"
#include "ui/job.h"
#include "ui/qt_prompts.h"

namespace harrow::gui {

void GuiHost::runScan(CQUIDNEYDoc& doc) {
    // An open that was asked to stop during its root list goes no further.
    if (jobs::stopPending()) return;
    onGuiThread([&] { scanCancelled_ = !runScanDialog(window_, doc); });
}

void GuiHost::runNamingPass(CQUIDNEYDoc& doc) { doc.namingPass(observer_); }

}  // namespace harrow::gui
