#include "engine_fixture.h"

#include "ini_file.h"

#include <cstdio>
#include <random>
#include <unistd.h>

namespace talvex::testing {

namespace {

std::string HexByte(unsigned value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", value & 0xFFu);
    return text;
}

std::string Record(std::uint8_t type, std::uint16_t offset, const std::vector<std::uint8_t>& data) {
    unsigned sum = static_cast<unsigned>(data.size()) + (offset >> 8) + (offset & 0xFF) + type;
    std::string line = ":" + HexByte(static_cast<unsigned>(data.size())) + HexByte(offset >> 8) +
                       HexByte(offset & 0xFF) + HexByte(type);
    for (std::uint8_t b : data) {
        line += HexByte(b);
        sum += b;
    }
    line += HexByte((256 - (sum & 0xFF)) & 0xFF);
    return line + "\n";
}

} // namespace

std::string HexText(const std::vector<Chunk>& chunks) {
    std::string text;
    std::uint32_t upper = 0xFFFFFFFF;
    for (const Chunk& chunk : chunks) {
        const std::uint32_t high = chunk.address >> 16;
        if (high != upper) {
            text += Record(0x04, 0,
                           {static_cast<std::uint8_t>(high >> 8), static_cast<std::uint8_t>(high)});
            upper = high;
        }
        text += Record(0x00, static_cast<std::uint16_t>(chunk.address & 0xFFFF), chunk.bytes);
    }
    return text + ":00000001FF\n";
}

std::vector<std::uint8_t> Pattern(std::size_t count, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<std::uint8_t> bytes(count);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    return bytes;
}

std::vector<Chunk> Records(std::uint32_t start, std::size_t count, std::size_t size) {
    std::vector<Chunk> chunks;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t at = start + static_cast<std::uint32_t>(i * size);
        chunks.push_back({at, Pattern(size, at)});
    }
    return chunks;
}

StartupResult StoredStartup(const Settings& s, bool unattended) {
    WriteSettingsAfterConfigure(s, "browser", "help");
    ini::WriteText(s.settingsPath, "TalVex", "File", s.imageFile);
    StartupResult startup;
    startup.settings.programDir = s.programDir;
    startup.settings.settingsStem = s.settingsStem;
    startup.settings.settingsPath = s.settingsPath;
    startup.settings.partDbPath = s.partDbPath;
    startup.unattended = unattended;
    startup.partDbPresent = true;
    return startup;
}

void EngineTest::SetUp() {
    char pattern[] = "/tmp/talvex-engine-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    partDb_ = (dir_ / "zelchip.ini").string();
    std::filesystem::copy_file(TALVEX_RES_DIR "/zelchip.ini", partDb_);
}

void EngineTest::TearDown() {
    worker_.reset();
    if (sim_) sim_->Stop();
    sim_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

zarq::Simulator& EngineTest::StartSim(std::vector<std::string> args) {
    args.push_back("--partdb");
    args.push_back(partDb_);
    zarq::SimOptions options;
    std::string error;
    EXPECT_TRUE(zarq::ParseSimArgs(args, options, error)) << error;
    sim_ = std::make_unique<zarq::Simulator>(options);
    EXPECT_TRUE(sim_->Start(error)) << error;
    return *sim_;
}

std::string EngineTest::WriteImage(const std::string& name, const std::string& text) {
    image_ = (dir_ / name).string();
    std::ofstream(image_, std::ios::binary) << text;
    return image_;
}

Settings EngineTest::MakeSettings() const {
    Settings s = DownloadSettings(
        partDb_, image_, sim_ ? sim_->DevicePath() : (dir_ / "no-such-port").string(), baud_);
    s.programDir = dir_.string() + "/";
    s.settingsStem = (dir_ / "talvex").string();
    s.settingsPath = s.settingsStem + ".ini";
    return s;
}

int EngineTest::RunUnattended(const Settings& settings, std::chrono::milliseconds limit,
                              const std::function<void(SerialThread&)>& prepare) {
    worker_ = std::make_unique<SerialThread>(window_, settings);
    worker_->SetImagePath(settings.imageFile);
    if (prepare) prepare(*worker_);
    worker_->Flags().Unattended.Begin();
    worker_->PressStart();
    const auto code = window_.WaitResult(limit);
    // The download that gave the result ends with its last lines before the
    // worker is stopped; nothing is drawn after a stop.
    if (code) worker_->WaitIdle(limit);
    worker_->RequestStop();
    worker_->Join();
    return code.value_or(-100);
}

std::vector<zarq::LogEntry> EngineTest::Frames() const {
    std::vector<zarq::LogEntry> frames;
    for (const auto& entry : sim_->Log()) {
        if (entry.kind == zarq::LogEntry::Kind::Frame) frames.push_back(entry);
    }
    return frames;
}

std::vector<zarq::LogEntry> EngineTest::Frames(char letter) const {
    std::vector<zarq::LogEntry> frames;
    for (const auto& entry : Frames()) {
        if (entry.letter == letter) frames.push_back(entry);
    }
    return frames;
}

std::vector<std::uint8_t> EngineTest::FlashRange(std::uint32_t offset, std::size_t count) const {
    const auto flash = sim_->Flash();
    if (offset + count > flash.size()) return {};
    return std::vector<std::uint8_t>(flash.begin() + offset, flash.begin() + offset + count);
}

} // namespace talvex::testing
