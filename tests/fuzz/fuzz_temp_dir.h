#pragma once
// One scratch folder per fuzzing process, removed when the process ends.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

namespace talvex::fuzz {

inline const std::filesystem::path& ScratchDir()
{
    static const std::filesystem::path dir = [] {
        std::filesystem::path p = std::filesystem::temp_directory_path() /
                                  ("talvex-fuzz-" + std::to_string(::getpid()));
        std::filesystem::remove_all(p);
        std::filesystem::create_directories(p);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(ScratchDir(), ignored);
        });
        return p;
    }();
    return dir;
}

inline void WriteBytes(const std::string& path, const uint8_t* data, size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

} // namespace talvex::fuzz
