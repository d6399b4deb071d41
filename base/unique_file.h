#pragma once
// A C stream that closes itself exactly once.

#include <cstdio>
#include <memory>

namespace talvex {

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

} // namespace talvex
