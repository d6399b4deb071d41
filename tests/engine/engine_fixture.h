#pragma once
// Runs the real worker over the real serial port against zarq-sim on a
// pseudo-terminal, and keeps what each side saw.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "download_settings.h"
#include "recording_window.h"
#include "serial_thread.h"
#include "settings.h"
#include "startup.h"
#include "zarq_sim.h"

namespace talvex::testing {

// One data record of a generated image.
struct Chunk {
    std::uint32_t address; // offset from the start of flash
    std::vector<std::uint8_t> bytes;
};

// Writes an Intel HEX file: a type-04 record whenever the upper address
// changes, data records of the chunks, and the end record.
std::string HexText(const std::vector<Chunk>& chunks);

// Bytes of a predictable pattern, so that every record differs.
std::vector<std::uint8_t> Pattern(std::size_t count, std::uint32_t seed);

// count records of size bytes each, following on from start.
std::vector<Chunk> Records(std::uint32_t start, std::size_t count, std::size_t size);

// Stores the settings where start-up would have left them, so that a
// session or window reads them back as the window does when it opens.
StartupResult StoredStartup(const Settings& s, bool unattended);

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts a simulator with these command-line options (besides the part
    // database, which is the shipped one).
    zarq::Simulator& StartSim(std::vector<std::string> args);
    // Writes the image and points the settings at it.
    std::string WriteImage(const std::string& name, const std::string& text);

    // Settings for a run against the current simulator.
    Settings MakeSettings() const;

    // Runs one unattended download and waits for its code. prepare sees the
    // worker before it starts.
    int RunUnattended(const Settings& settings,
                      std::chrono::milliseconds limit = std::chrono::seconds(20),
                      const std::function<void(SerialThread&)>& prepare = {});

    std::vector<zarq::LogEntry> Frames() const; // frame entries of the sim log
    std::vector<zarq::LogEntry> Frames(char letter) const;
    std::vector<std::uint8_t> FlashRange(std::uint32_t offset, std::size_t count) const;

    std::filesystem::path dir_;
    std::string partDb_;
    std::string image_;
    std::string baud_ = "115200";
    std::unique_ptr<zarq::Simulator> sim_;
    RecordingWindow window_;
    std::unique_ptr<SerialThread> worker_;
};

} // namespace talvex::testing
