#pragma once
// Files, records and passes for the HEX reader tests.

#include "hex_reader.h"

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace talvex::test {

// A folder of its own under the system's temporary folder, removed again.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::filesystem::path Path(const std::string& name) const { return dir_ / name; }
    std::filesystem::path Write(const std::string& name, const std::string& content) const;

private:
    std::filesystem::path dir_;
};

std::string ReadFile(const std::filesystem::path& path);

// One record text with a correct checksum.
std::string Record(std::uint8_t type, std::uint16_t offset, const std::vector<std::uint8_t>& bytes);

struct Delivered {
    std::uint32_t address;
    std::vector<std::uint8_t> data;
    bool operator==(const Delivered&) const = default;
};

// One pass as the engine runs it: from the start of the open file to the
// exact end record or the end of the file, keeping what has a count.
std::vector<Delivered> RunPass(CHexReader& reader, bool padding);

std::vector<std::uint8_t> Bytes(const std::string& hexDigits);

// The reader's speed is judged in processor time, so that other jobs on a
// busy machine do not count against it as they would on the wall clock.
inline double ProcessorSeconds() { return double(std::clock()) / CLOCKS_PER_SEC; }

} // namespace talvex::test
