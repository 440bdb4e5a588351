// Work that reads the volume (listing a directory, naming found directories) runs off the GUI
// thread. The window keeps painting; a wait dialog with Cancel appears only when the work takes
// longer than about half a second, so quick listings never flash a dialog.
#pragma once

#include <QString>
#include <QWidget>
#include <chrono>
#include <functional>

#include "items/file_item.h"

namespace harrow::gui {

// How long work runs before its wait dialog shows.
inline constexpr std::chrono::milliseconds kWaitDialogDelay{500};

// Runs `work` on a worker thread and returns when it has ended; false when the user cancelled
// it. The observer handed to the work carries the cancel request. User input to the windows is
// held back until the dialog shows; questions the work asks through the prompts are answered as
// usual. Must be called on the GUI thread.
bool runInBackground(QWidget* parent, const QString& caption, const QString& text,
                     const std::function<void(ListObserver&)>& work);

}  // namespace harrow::gui
