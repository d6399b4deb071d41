#include "config_sheet.h"

namespace talvex::ui {

// Until the sheet's pages exist, Configure behaves as Cancel: nothing is
// taken back and nothing is written.
bool RunConfigureSheet(QWidget*, ConfigureValues&, const SheetServices&) { return false; }

} // namespace talvex::ui
