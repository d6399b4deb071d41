#pragma once
// One scratch folder per fuzzing process, removed when the process ends.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <cerrno>
#include <csignal>

#include <unistd.h>

namespace talvex::fuzz {

inline const std::filesystem::path& ScratchDir() {
    static const std::filesystem::path dir = [] {
        // libFuzzer may end a run without atexit handlers, so each process
        // also clears the folders of fuzzing processes that are gone.
        std::error_code error;
        const std::string prefix = "talvex-fuzz-";
        for (const auto& entry :
             std::filesystem::directory_iterator(std::filesystem::temp_directory_path(), error)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(prefix, 0) != 0) continue;
            const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
            if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
                std::filesystem::remove_all(entry.path(), error);
            }
        }
        std::filesystem::path p =
            std::filesystem::temp_directory_path() / ("talvex-fuzz-" + std::to_string(::getpid()));
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

inline void WriteBytes(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

} // namespace talvex::fuzz
