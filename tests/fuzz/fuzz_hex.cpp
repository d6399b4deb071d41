// libFuzzer target for the HEX reader: record parsing under every padding
// setting, and the validating count pass with its shadow plus a padded pass
// over the input as a file.

#include "hex_reader.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

namespace {

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

const std::string& TempPath() {
    static const std::string path = [] {
        std::random_device rd;
        return (std::filesystem::temp_directory_path() /
                ("talvex-fuzz-hex-" + std::to_string(rd()) + ".hex"))
            .string();
    }();
    return path;
}

void ParseAllWays(const std::string& text) {
    for (int mode = 0; mode < 4; ++mode) {
        talvex::CHexReader reader;
        const bool padding = mode & 1;
        reader.SetHalfwordAlign(mode & 2);
        // Twice, so that the second parse sees the base the first one set.
        for (int round = 0; round < 2; ++round) {
            const talvex::HexRecord& r = reader.ParseRecord(text, padding);
            Check(r.count >= 0);
            Check(static_cast<std::size_t>(r.count) <= talvex::kMaxRecordData);
            if (!(padding && (mode & 2))) Check(r.count <= 255);
            if (padding && (mode & 2) && r.count) {
                Check(r.address % 2 == 0 && r.count % 2 == 0);
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    ParseAllWays(input);

    const std::string& path = TempPath();
    {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (!f) return 0;
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    talvex::CHexReader reader;
    if (!reader.OpenImage(path)) return 0;
    talvex::ImageShadow shadow(0x8F800);
    const talvex::ImageCount count = talvex::CountImage(reader, "fuzz.hex", nullptr, &shadow);
    Check(count.valid == count.message.empty());
    Check(shadow.PageCount() <= (0x8F800 - 0x80000) / 512);

    // The page-plan pass as the engine runs it; on a valid image its counts,
    // without padding, add up to the count pass's size.
    for (bool padding : {false, true}) {
        reader.SetHalfwordAlign(padding);
        reader.Rewind();
        std::int64_t sum = 0;
        std::string text = reader.NextRecordText();
        reader.ResetBase();
        while (!text.empty() && !talvex::CHexReader::IsEndRecord(text)) {
            Check(text.size() <= talvex::kMaxRecordText);
            ParseAllWays(text);
            const talvex::HexRecord& r = reader.ParseRecord(text, padding);
            Check(r.count >= 0 && r.count <= 257);
            sum += r.count;
            // A valid image agrees with its own shadow, record by record,
            // and its verify padding stays within the record buffer.
            if (count.valid && !padding) {
                Check(shadow.Agrees(r.address, r.data, r.count));
                talvex::HexRecord padded = r;
                talvex::PadToHalfwords(padded, &shadow);
                if (r.count) Check(padded.address % 2 == 0 && padded.count % 2 == 0);
            }
            text = reader.NextRecordText();
        }
        if (count.valid && !padding) Check(sum == count.size);
    }
    return 0;
}
