// The part database readers and the protection units on any file contents.
#include <cctype>
#include <cstdint>
#include <string>

#include "fuzz_temp_dir.h"
#include "part_db.h"
#include "protection_groups.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace talvex;
    const std::string path = (fuzz::ScratchDir() / "zelchip.ini").string();
    fuzz::WriteBytes(path, data, size);

    for (const std::string& name : ListParts(path)) {
        if (name.size() > 510) __builtin_trap();
    }

    const std::string text(reinterpret_cast<const char*>(data), size);
    std::uint32_t value = 0;
    bool scanned = ScanHex0x(text, value);
    if (scanned != (text.size() > 2 && text[0] == '0' && text[1] == 'x' &&
                    std::isxdigit(static_cast<unsigned char>(text[2]))))
        __builtin_trap();

    for (const char* part : {"ZaRQ4126", "P", ""}) {
        for (const char* key : {"ROMStart", "ROMEnd", "KStart", "KEnd", "FBlk0Sz", "FBlk1Sz"}) {
            if (ReadPartKey(path, part, key, "-1").size() > 255) __builtin_trap();
        }
        std::vector<ProtectionUnit> units = ListProtectionUnits(BuildProtectionGroups(path, part));
        // At most two blocks of at most 32 units each, plus the 0x8000 layout's extra unit.
        if (units.size() > 64) __builtin_trap();
        for (const ProtectionUnit& u : units) {
            if (u.bit > 31 || u.end < u.start) __builtin_trap();
        }
    }
    return 0;
}
