#include "system_error_text.h"

#include <system_error>

namespace talvex {

std::string ErrnoText(int error) { return std::generic_category().message(error); }

} // namespace talvex
