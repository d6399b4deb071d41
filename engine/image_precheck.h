#pragma once
// A look at the image before a download begins: the operator should hear of
// a missing or damaged file before being asked to pulse Reset, not after.
// The download still reads the file again and decides on its own, so a file
// that changes in between is judged as it is then.

#include <string>

namespace talvex {

// Empty when the image opens as a regular file and its count pass finds it
// sound; otherwise why not, e.g. "No such file or directory" or "Bad
// checksum in line 3 of x.hex".
std::string WhyImageUnusable(const std::string& path);

// "af=PATH cannot be used (REASON); this run will end with code 2"
std::string ImageUnusableNotice(const std::string& path, const std::string& reason);

} // namespace talvex
