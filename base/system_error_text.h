#pragma once
// The system's own words for an error code of the Windows API, without the
// trailing period and line end, for messages that say why something failed.

#include <string>

namespace talvex {

std::string SystemErrorText(unsigned long code);

} // namespace talvex
