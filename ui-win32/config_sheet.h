#pragma once
// The configuration sheet "Configure" as a property sheet of the common
// controls, its pages dialogs of the resource script. Each page draws from
// its model (engine/sheet_model.h) and hands it the user's actions; what a
// page shows, keeps, refuses and gives back is the model's business.

#include <string>

#include "download_session.h"
#include "sheet_model.h"

namespace talvex::win32 {

enum class SheetOutcome { Accepted, Cancelled, Failed };

// Shows the sheet modally over owner (an HWND) with the given values. On
// Accepted, values hold what the pages give back, for
// DownloadSession::ApplyConfiguration; on Failed, problem says why the
// sheet could not be shown.
SheetOutcome RunConfigureSheet(void* owner, ConfigureValues& values, const SheetServices& services,
                               std::string& problem);

} // namespace talvex::win32
