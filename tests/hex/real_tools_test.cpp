// Images written by real tools (srec_cat, objcopy) read back byte for byte
// as srec_cat itself reads them.

#include "hex_reader.h"
#include "hex_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace talvex {
namespace {

using test::ReadFile;
using test::RunPass;
using test::TempDir;

enum class Tool { SrecCat, Objcopy };

struct ToolCase {
    const char* name;
    Tool tool;
    std::uint32_t start; // address the tool writes the first byte to
    int blockSize;       // data bytes per record (srec_cat only)
    int addressLength;   // 3: type 02 records, 4: type 04 (srec_cat only)
    bool crlf;           // srec_cat only; objcopy always writes CR LF
    bool lowerCase;
    std::size_t size;
    const char* mustContain; // proves the file has the feature under test
};

const ToolCase kCases[] = {
    {"srec_cat 16-byte records, type 04, LF, at the flash base", Tool::SrecCat, 0x80000, 16, 4,
     false, false, 5000, ":020000040008F2\n"},
    {"srec_cat 32-byte records, type 04, CR LF, odd start across 64K", Tool::SrecCat, 0x8FFF1, 32,
     4, true, false, 5000, ":020000040009F1\r\n"},
    {"srec_cat 16-byte records, type 02, LF, odd start across 64K", Tool::SrecCat, 0x8FFF1, 16, 3,
     false, false, 5000, ":0200000290006C\n"},
    {"srec_cat 32-byte records, type 02, CR LF, lower case", Tool::SrecCat, 0x81234, 32, 3, true,
     true, 5000, ":0200000280007c\r\n:20"},
    {"srec_cat 32-byte records, flash offsets, lower case", Tool::SrecCat, 0x01233, 32, 4, false,
     true, 5000, ":20123300"},
    {"srec_cat 254-byte records of 519 characters", Tool::SrecCat, 0x80100, 254, 4, true, false,
     5000, ":FE010000"},
    {"srec_cat 255-byte records of 521 characters, odd start", Tool::SrecCat, 0x80101, 255, 4,
     false, false, 5000, ":FF010100"},
    {"objcopy 16-byte records, type 02, CR LF", Tool::Objcopy, 0x8FFF1, 16, 0, true, false, 5000,
     ":0200000290006C\r\n"},
    {"objcopy type 04 above 1 MB, lower case", Tool::Objcopy, 0x10080000, 16, 0, true, true, 5000,
     ":020000041008e2\r\n"},
    {"objcopy without extended records", Tool::Objcopy, 0x0, 16, 0, true, false, 3000, ":10000000"},
};

std::string Hex(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", v);
    return buf;
}

void RunTool(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

std::string Quote(const std::filesystem::path& p) { return "'" + p.string() + "'"; }

// Writes the case's image with its tool; returns the HEX file's path.
std::filesystem::path MakeImage(const TempDir& dir, const ToolCase& c,
                                const std::vector<std::uint8_t>& data) {
    const auto bin = dir.Write("in.bin", std::string(data.begin(), data.end()));
    const auto hex = dir.Path("image.hex");
    if (c.tool == Tool::SrecCat) {
        RunTool(std::string(TALVEX_SREC_CAT) + " " + Quote(bin) + " -binary -offset " +
                Hex(c.start) + " -o " + Quote(hex) +
                " -intel -output_block_size=" + std::to_string(c.blockSize) +
                " -address-length=" + std::to_string(c.addressLength) + (c.crlf ? " -crlf" : ""));
    } else {
        RunTool(std::string(TALVEX_OBJCOPY) + " -I binary -O ihex" + " --change-addresses " +
                Hex(c.start) + " " + Quote(bin) + " " + Quote(hex));
    }
    if (c.lowerCase) {
        std::string text = ReadFile(hex);
        std::transform(text.begin(), text.end(), text.begin(), [](char ch) {
            return static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        });
        dir.Write("image.hex", text);
    }
    return hex;
}

class RealToolImage : public ::testing::TestWithParam<ToolCase> {};

TEST_P(RealToolImage, ReadsTheBytesSrecCatReads) {
    const ToolCase& c = GetParam();
    TempDir dir;
    std::mt19937 rng(c.start ^ static_cast<std::uint32_t>(c.blockSize));
    std::vector<std::uint8_t> data(c.size);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    const auto hex = MakeImage(dir, c, data);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_NE(ReadFile(hex).find(c.mustContain), std::string::npos)
        << "the tool did not write " << c.mustContain;

    // srec_cat's own reading of the file it or objcopy wrote.
    const auto back = dir.Path("back.bin");
    RunTool(std::string(TALVEX_SREC_CAT) + " " + Quote(hex) + " -intel -offset -" + Hex(c.start) +
            " -o " + Quote(back) + " -binary");
    ASSERT_FALSE(HasFatalFailure());
    const std::string srecImage = ReadFile(back);
    ASSERT_EQ(srecImage, std::string(data.begin(), data.end()));

    CHexReader reader;
    ASSERT_TRUE(reader.OpenImage(hex.string()));
    const ImageCount count = CountImage(reader, "image.hex");
    ASSERT_TRUE(count.valid) << count.message;
    EXPECT_EQ(count.size, static_cast<std::int32_t>(c.size));

    // The flash's own bit 19 is dropped from the extended base.
    const std::uint32_t first = c.start & ~0x80000u;
    std::string image(c.size, '\0');
    std::vector<int> written(c.size, 0);
    for (const auto& r : RunPass(reader, false)) {
        ASSERT_GE(r.address, first);
        ASSERT_LE(r.address - first + r.data.size(), c.size);
        for (std::size_t i = 0; i < r.data.size(); ++i) {
            image[r.address - first + i] = static_cast<char>(r.data[i]);
            ++written[r.address - first + i];
        }
    }
    EXPECT_EQ(image, srecImage);
    EXPECT_TRUE(std::all_of(written.begin(), written.end(), [](int n) { return n == 1; }));

    // Halfword chips: padded records, programmed over erased flash, leave
    // exactly the image and nothing beside it.
    reader.SetHalfwordAlign(true);
    const std::uint32_t low = first & ~1u;
    std::vector<std::uint8_t> flash(c.size + 2, 0xFF);
    for (const auto& r : RunPass(reader, true)) {
        ASSERT_EQ(r.address % 2, 0u);
        ASSERT_EQ(r.data.size() % 2, 0u);
        ASSERT_GE(r.address, low);
        ASSERT_LE(r.address - low + r.data.size(), flash.size());
        for (std::size_t i = 0; i < r.data.size(); ++i) {
            flash[r.address - low + i] &= r.data[i];
        }
    }
    const std::size_t lead = first - low;
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin() + lead));
    EXPECT_TRUE(
        std::all_of(flash.begin(), flash.begin() + lead, [](std::uint8_t b) { return b == 0xFF; }));
    EXPECT_TRUE(std::all_of(flash.begin() + lead + c.size, flash.end(),
                            [](std::uint8_t b) { return b == 0xFF; }));
}

INSTANTIATE_TEST_SUITE_P(Tools, RealToolImage, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ToolCase>& info) {
                             std::string name = std::to_string(info.index) + "_";
                             for (const char* p = info.param.name; *p; ++p) {
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             }
                             return name;
                         });

} // namespace
} // namespace talvex
