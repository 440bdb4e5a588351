#include "ui/gui_host.h"

#include "ui/scan/scan_dlg.h"
#include "ui/qt_prompts.h"

namespace harrow::gui {

void GuiHost::runScan(CQUIDNEYDoc& doc) {
    onGuiThread([&] { runScanDialog(window_, doc); });
}

void GuiHost::runNamingPass(CQUIDNEYDoc& doc) { doc.namingPass(observer_); }

}  // namespace harrow::gui
