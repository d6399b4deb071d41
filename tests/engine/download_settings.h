#pragma once
// Settings for a page-erase, program and verify download to an emulated
// ZaRQ4126, as the tests start from.

#include <string>

#include "settings.h"

namespace talvex::testing {

inline Settings DownloadSettings(const std::string& partDb, const std::string& image,
                                 const std::string& port, const std::string& baud) {
    Settings s;
    s.partDbPath = partDb;
    s.imageFile = image;
    s.port = port;
    s.baud = baud;
    s.massErase = "No";
    s.program = "Yes";
    s.verify = "Yes";
    s.autorun = "No";
    s.protect = "No";
    s.part = "ZaRQ4126";
    s.key0 = "739";
    return s;
}

} // namespace talvex::testing
