// The settings-file reader on any file contents, and the writer's promise:
// a storable value written is the value read back.
#include <cstdint>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_temp_dir.h"
#include "ini_file.h"

namespace {

bool Trimmed(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == '\x1A';
}

// Small alphabet so that names collide with what the file holds.
std::string Name(FuzzedDataProvider& in, const char* alphabet) {
    std::string out;
    size_t length = in.ConsumeIntegralInRange<size_t>(0, 6);
    std::string letters(alphabet);
    for (size_t i = 0; i < length; ++i)
        out += letters[in.ConsumeIntegralInRange<size_t>(0, letters.size() - 1)];
    return out;
}

bool SaneEnds(const std::string& s) {
    return s.empty() || (!Trimmed(s.front()) && !Trimmed(s.back()));
}

bool Storable(const std::string& section, const std::string& key, const std::string& value) {
    if (section.empty() || key.empty() || !SaneEnds(section) || !SaneEnds(key) || !SaneEnds(value))
        return false;
    if (key.find('=') != std::string::npos || key.front() == ';' || key.front() == '[')
        return false;
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace talvex;
    FuzzedDataProvider in(data, size);
    const std::string section = Name(in, "SsKk ]=[;\"'#\x1A\t");
    const std::string key = Name(in, "SsKk ]=[;\"'#\x1A\t");
    const std::string value = Name(in, "Vv ;=\"'[]\t\x1A\x0B");
    const std::string content = in.ConsumeRemainingBytesAsString();

    const std::string path = (fuzz::ScratchDir() / "fuzz.ini").string();
    fuzz::WriteBytes(path, reinterpret_cast<const uint8_t*>(content.data()), content.size());

    for (size_t bufferSize : {size_t{0}, size_t{1}, size_t{8}, size_t{1024}}) {
        std::string text = ini::ReadText(path, section, key, "default ", bufferSize);
        if (bufferSize > 0 && text.size() > bufferSize - 1) __builtin_trap();
    }
    (void)ini::ReadInt(path, section, key, 7);

    // A file above the size limit is refused, for writing as for reading.
    if (Storable(section, key, value) && content.size() <= ini::kMaxFileBytes) {
        if (!ini::WriteText(path, section, key, value)) __builtin_trap();
        if (ini::ReadText(path, section, key, "\x01", 4096) != value) __builtin_trap();
    }
    return 0;
}
