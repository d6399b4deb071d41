// A flash that holds something before the host comes: a fill byte, an image
// file, or both. Old contents must show wherever the host did not erase.

#include "sim_host.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sys/stat.h>

using namespace simtest;

namespace {

constexpr std::size_t kFlashSize = 0x10000; // ZaRQ4126: 0x80000..0x8FFFF
constexpr std::size_t kKernel = 0xF800;     // offset of its kernel

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Old firmware: every byte differs from its neighbours and from 0xFF.
Bytes OldFirmware(std::size_t count) {
    Bytes b(count);
    for (std::size_t i = 0; i < count; ++i) b[i] = static_cast<std::uint8_t>((i * 7 + 3) % 0xFF);
    return b;
}

TEST(SimPresetFlash, StartsWithTheFillThenTheFileAndErasedElsewhere) {
    const std::string file = TempPath("old.bin");
    const Bytes old = OldFirmware(0x300);
    WriteFile(file, old);
    struct Case {
        const char* name;
        std::vector<std::string> args;
        bool fromFile;
        std::uint8_t rest; // every cell past the file (or every cell)
    };
    const Case cases[] = {
        {"nothing asked: erased", {}, false, 0xFF},
        {"fill only", {"--flash-fill", "0x5A"}, false, 0x5A},
        {"fill of zero, decimal", {"--flash-fill", "0"}, false, 0x00},
        {"file only: the rest erased", {"--flash-init", file}, true, 0xFF},
        {"file over the fill", {"--flash-init", file, "--flash-fill", "0xC3"}, true, 0xC3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimRun run(c.args);
        ASSERT_TRUE(run.started);
        const Bytes flash = run.sim->Flash();
        ASSERT_EQ(flash.size(), kFlashSize);
        const std::size_t from = c.fromFile ? old.size() : 0;
        if (c.fromFile) {
            EXPECT_TRUE(std::equal(old.begin(), old.end(), flash.begin()));
        }
        EXPECT_TRUE(std::all_of(flash.begin() + static_cast<std::ptrdiff_t>(from), flash.end(),
                                [&](std::uint8_t b) { return b == c.rest; }));
    }
    std::remove(file.c_str());
}

TEST(SimPresetFlash, WriteWithoutEraseClearsBitsAndVerifyTellsTheDifference) {
    SimRun run({"--flash-fill", "0x5A"});
    // 0x5A AND 0xF0 = 0x50; 0x5A AND 0x0F = 0x0A: old bits that are 0 stay 0.
    EXPECT_EQ(run.host->Exchange(Frame('W', 0x3FF, {0xF0, 0x0F})), kAck);
    Bytes flash = run.sim->Flash();
    EXPECT_EQ(flash[0x3FF], 0x50);
    EXPECT_EQ(flash[0x400], 0x0A);
    EXPECT_EQ(run.host->Exchange(VerifyFrame(0x3FF, {0xF0, 0x0F})), kNak)
        << "the image is not in flash";
    EXPECT_EQ(run.host->Exchange(VerifyFrame(0x3FF, {0x50, 0x0A})), kAck);

    // Erasing only the page of the first byte leaves the second one wrong.
    EXPECT_EQ(run.host->Exchange(Frame('E', 0x200, {1})), kAck);
    EXPECT_EQ(run.host->Exchange(Frame('W', 0x3FF, {0xF0, 0x0F})), kAck);
    flash = run.sim->Flash();
    EXPECT_EQ(flash[0x3FF], 0xF0);
    EXPECT_EQ(flash[0x400], 0x0A);
    EXPECT_EQ(flash[0x1FF], 0x5A) << "the page before is not erased";
    EXPECT_EQ(run.host->Exchange(VerifyFrame(0x3FF, {0xF0, 0x0F})), kNak);

    // With both pages erased the image is what the flash holds.
    EXPECT_EQ(run.host->Exchange(Frame('E', 0x200, {2})), kAck);
    EXPECT_EQ(run.host->Exchange(Frame('W', 0x3FF, {0xF0, 0x0F})), kAck);
    EXPECT_EQ(run.host->Exchange(VerifyFrame(0x3FF, {0xF0, 0x0F})), kAck);
    flash = run.sim->Flash();
    EXPECT_EQ(flash[0x600], 0x5A) << "the page after is not erased";
    EXPECT_EQ(std::count(flash.begin() + 0x200, flash.begin() + 0x600, 0xFF), 0x400 - 2);
}

TEST(SimPresetFlash, MassEraseClearsUserFlashButLeavesTheKernel) {
    SimRun run({"--flash-fill", "0x00"});
    EXPECT_EQ(run.host->Exchange(Frame('E', 0, {0})), kAck);
    const Bytes flash = run.sim->Flash();
    EXPECT_TRUE(std::all_of(flash.begin(), flash.begin() + kKernel,
                            [](std::uint8_t b) { return b == 0xFF; }));
    EXPECT_TRUE(std::all_of(flash.begin() + kKernel, flash.end(),
                            [](std::uint8_t b) { return b == 0x00; }));
}

TEST(SimPresetFlash, DumpOfOneRunPresetsTheNext) {
    const std::string first = TempPath("first.bin");
    const std::string second = TempPath("second.bin");
    {
        SimRun run({"--flash-fill", "0x11", "--dump", first});
        EXPECT_EQ(run.host->Exchange(Frame('E', 0x200, {1})), kAck);
        EXPECT_EQ(run.host->Exchange(Frame('W', 0x200, {'o', 'l', 'd'})), kAck);
        ASSERT_TRUE(run.sim->Stop());
    }
    {
        // A whole dump is exactly as long as the flash, kernel included.
        SimRun run({"--flash-init", first, "--dump", second});
        ASSERT_TRUE(run.started);
        EXPECT_EQ(run.host->Exchange(Frame('W', 0x203, {0x0F})), kAck);
        ASSERT_TRUE(run.sim->Stop());
    }
    Bytes expected = ReadFile(first);
    ASSERT_EQ(expected.size(), kFlashSize);
    EXPECT_EQ(expected[0x000], 0x11);
    EXPECT_EQ(expected[0x200], 'o');
    expected[0x203] = 0x0F; // erased by the first run, so the write took whole
    EXPECT_EQ(ReadFile(second), expected);
    std::remove(first.c_str());
    std::remove(second.c_str());
}

TEST(SimPresetFlash, UnusableImageFileStopsTheStartAndNamesTheFile) {
    const std::string tooLong = TempPath("too-long.bin");
    const std::string exact = TempPath("exact.bin");
    const std::string empty = TempPath("empty.bin");
    const std::string folder = TempPath("folder");
    WriteFile(tooLong, Bytes(kFlashSize + 1, 0));
    WriteFile(exact, Bytes(kFlashSize, 0));
    WriteFile(empty, {});
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    struct Case {
        std::string path;
        std::string error; // empty: starts
    };
    const Case cases[] = {
        {TempPath("missing.bin"), "cannot open the flash image " + TempPath("missing.bin") + ": "},
        {tooLong, "the flash image " + tooLong + " is longer than the flash (65536 bytes from "},
        {folder, "cannot read the flash image " + folder + ": "},
        {exact, ""},
        {empty, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        zarq::SimOptions options;
        std::string error;
        ASSERT_TRUE(zarq::ParseSimArgs({"--partdb", TALVEX_TEST_PARTDB, "--flash-init", c.path},
                                       options, error))
            << error;
        zarq::Simulator sim(options);
        const bool started = sim.Start(error);
        if (c.error.empty()) {
            EXPECT_TRUE(started) << error;
            continue;
        }
        EXPECT_FALSE(started);
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
    std::remove(tooLong.c_str());
    std::remove(exact.c_str());
    std::remove(empty.c_str());
    ::rmdir(folder.c_str());
}

} // namespace
