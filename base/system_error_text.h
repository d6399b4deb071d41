#pragma once
// The system's own words for an error, for messages that say why something
// failed.

#include <string>

namespace talvex {

// An errno value, as strerror words it. Safe on any thread: strerror may
// share one buffer between threads, and the workers report their own
// failures while others run.
std::string ErrnoText(int error);

// A code of the Windows API (Windows only), without the trailing period and
// line end.
std::string SystemErrorText(unsigned long code);

} // namespace talvex
