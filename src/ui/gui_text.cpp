#include "ui/gui_text.h"

namespace harrow::gui {

QString text(const UiText& t) { return QString::fromUtf8(language() == Lang::En ? t.en : t.zh); }

QString message(int id) { return QString::fromUtf8(messageText(id)); }

}  // namespace harrow::gui
