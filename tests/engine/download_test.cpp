// End-to-end downloads: the real worker, the real serial port and zarq-sim.

#include <algorithm>
#include <thread>

#include "command_frame.h"
#include "engine_fixture.h"
#include "forwarding_port.h"

namespace talvex::testing {
namespace {

using namespace std::chrono_literals;

std::vector<std::uint8_t> Concat(const std::vector<Chunk>& chunks) {
    std::vector<std::uint8_t> all;
    for (const auto& c : chunks) all.insert(all.end(), c.bytes.begin(), c.bytes.end());
    return all;
}

std::size_t Count(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), text));
}

TEST_F(EngineTest, PageEraseProgramVerifyLeavesTheImageInFlash) {
    auto& sim = StartSim({});
    // 0x0F0 .. 0x52F: touches pages 0, 1 and 2.
    const auto chunks = Records(0x0F0, 68, 16);
    WriteImage("board.hex", HexText(chunks));

    EXPECT_EQ(RunUnattended(MakeSettings()), 0);

    const std::vector<std::string> expected = {
        "Ready @ 115200 baud n,8,1.",
        "    Press Download and pulse Reset on hardware.",
        sim.IdentificationText() + " received.",
        "Erasing 3 pages of 512 bytes each.",
        "Downloading ... 1088 bytes",
        "Verifying ... 1088 bytes",
        "Flashing Complete.",
        "    Click Run to run program.",
    };
    EXPECT_EQ(window_.Lines(), expected);
    EXPECT_EQ(FlashRange(0x0F0, 1088), Concat(chunks));

    const auto erases = Frames('E');
    ASSERT_EQ(erases.size(), 3u);
    for (std::uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(erases[i].value, i * 512);
        EXPECT_EQ(erases[i].data, std::vector<std::uint8_t>{1});
    }
    EXPECT_EQ(Frames('W').size(), 68u);
    const auto verifies = Frames('V');
    ASSERT_EQ(verifies.size(), 68u);
    // Verify data travel rotated left by three bits.
    EXPECT_EQ(verifies[0].value, 0x0F0u);
    for (std::size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(verifies[0].data[i], RotateLeft3(chunks[0].bytes[i]));
    }
    // Write and verify each run from 0 to the image size.
    EXPECT_EQ(window_.Ranges(), (std::vector<std::uint32_t>{3, 1088, 1088}));
    EXPECT_EQ(window_.Positions().back(), 0u);
    EXPECT_TRUE(window_.Boxes().empty());
}

TEST_F(EngineTest, MassEraseSendsOneFrameAndNothingElse) {
    StartSim({});
    WriteImage("board.hex", HexText(Records(0, 8, 16)));
    Settings s = MakeSettings();
    s.massErase = "Yes";

    EXPECT_EQ(RunUnattended(s), 0);

    const auto frames = Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].letter, 'E');
    EXPECT_EQ(frames[0].value, 0u);
    EXPECT_EQ(frames[0].data, std::vector<std::uint8_t>{0});
    const auto lines = window_.Lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"Mass Erasing ", "Done. Cycle board power.",
                                        "    Change options before downloading again."}));
}

struct SwitchCase {
    const char* name;
    const char* program;
    const char* verify;
    std::size_t erases, writes, verifies;
};

void PrintTo(const SwitchCase& c, std::ostream* os) { *os << c.name; }

class SwitchTest : public EngineTest, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(SwitchTest, OnlyTheChosenStepsSendFrames) {
    const SwitchCase& c = GetParam();
    StartSim({});
    const auto chunks = Records(0x200, 4, 16);
    WriteImage("board.hex", HexText(chunks));
    Settings s = MakeSettings();
    s.program = c.program;
    s.verify = c.verify;
    s.protect = "No";
    // Verify alone checks what is already there: program the image first,
    // and reset the target so that it announces itself again.
    if (std::string(c.verify) == "Yes" && std::string(c.program) == "No") {
        Settings first = MakeSettings();
        first.verify = "No";
        first.autorun = "Yes";
        first.runMode = 1;
        ASSERT_EQ(RunUnattended(first), 0);
    }
    const std::size_t before = Frames().size();
    RecordingWindow window;
    SerialThread worker(window, s);
    worker.SetImagePath(s.imageFile);
    worker.Flags().Unattended.Begin();
    worker.PressStart();
    EXPECT_EQ(window.WaitResult(20s), std::optional<int>(0));
    worker.WaitIdle(5s);
    worker.RequestStop();
    worker.Join();

    const auto frames = Frames();
    std::size_t e = 0, w = 0, v = 0;
    for (std::size_t i = before; i < frames.size(); ++i) {
        e += frames[i].letter == 'E';
        w += frames[i].letter == 'W';
        v += frames[i].letter == 'V';
    }
    EXPECT_EQ(e, c.erases);
    EXPECT_EQ(w, c.writes);
    EXPECT_EQ(v, c.verifies);
    const auto lines = window.Lines();
    EXPECT_EQ(Count(lines, "Flashing Complete."), 1u);
    EXPECT_EQ(lines.back(), "    Click Run to run program.");
}

INSTANTIATE_TEST_SUITE_P(Switches, SwitchTest,
                         ::testing::Values(SwitchCase{"ProgramOnly", "Yes", "No", 1, 4, 0},
                                           SwitchCase{"VerifyOnly", "No", "Yes", 0, 0, 4},
                                           SwitchCase{"AllOff", "No", "No", 0, 0, 0},
                                           SwitchCase{"LowerCaseYesIsOff", "yes", "No", 0, 0, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// Every row of the failure tables: the code, the message and what was sent.
struct FailureCase {
    const char* name;
    std::vector<std::string> simArgs;
    std::string image; // empty: the default three-record image
    const char* protect;
    std::uint64_t mask;
    int code;
    const char* message;          // empty: no failure text expected
    const char* lastLine;         // empty: the identification line
    const char* forbiddenLetters; // frames that must not have been sent
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class FailureTest : public EngineTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailureTest, EndsWithItsCodeAndMessage) {
    const FailureCase& c = GetParam();
    baud_ = "230400";
    StartSim(c.simArgs);
    // Twelve records from 0x5F0: pages 2 and 3.
    WriteImage("board.hex", c.image.empty() ? HexText(Records(0x5F0, 12, 16)) : c.image);
    Settings s = MakeSettings();
    s.protect = c.protect;
    s.mask = c.mask;

    EXPECT_EQ(RunUnattended(s), c.code);

    const auto failures = window_.Failures();
    if (*c.message) {
        ASSERT_FALSE(failures.empty());
        EXPECT_EQ(failures.front(), c.message);
    } else {
        EXPECT_TRUE(failures.empty());
    }
    EXPECT_TRUE(window_.Boxes().empty()) << "an unattended run shows no message box";
    EXPECT_EQ(window_.Lines().back(),
              *c.lastLine ? std::string(c.lastLine) : sim_->IdentificationText() + " received.")
        << ::testing::PrintToString(window_.Lines());
    for (const auto& frame : Frames()) {
        EXPECT_EQ(std::string(c.forbiddenLetters).find(frame.letter), std::string::npos)
            << "unexpected " << frame.letter << " frame";
    }
}

const std::string kOutside = HexText({{0xF7F0, Pattern(16, 1)}, {0xF7F1, Pattern(16, 2)}});
const std::string kBadChecksum = ":0400100001020304E3\n:00000001FF\n";

INSTANTIATE_TEST_SUITE_P(
    Rows, FailureTest,
    ::testing::Values(FailureCase{"DamagedImage",
                                  {},
                                  kBadChecksum,
                                  "No",
                                  0,
                                  2,
                                  "Bad checksum in line 1 of board.hex.",
                                  "",
                                  "EWVP"},
                      FailureCase{"RecordOutsideFlash",
                                  {},
                                  kOutside,
                                  "No",
                                  0,
                                  3,
                                  "Wrong memory address 0xf7f1 - 0xf800 \n Erase aborted.",
                                  "    Check setup and try downloading again.",
                                  "EWVP"},
                      FailureCase{"PageEraseRefused",
                                  {"--nak", "E@2"},
                                  "",
                                  "No",
                                  0,
                                  5,
                                  "Erase failure at 0x00080600. Process aborted.",
                                  "    Check setup and try downloading again.",
                                  "WVP"},
                      FailureCase{"WriteRefusedAtTenthRecord",
                                  {"--nak", "W@10"},
                                  "",
                                  "No",
                                  0,
                                  7,
                                  "Error at 0x680 - 0x690 \n Download aborted.",
                                  "    Check setup and try downloading again.",
                                  "VP"},
                      FailureCase{"VerifyRefused",
                                  {"--nak", "V@3"},
                                  "",
                                  "No",
                                  0,
                                  8,
                                  "Error at 0x610 - 0x620 \n Verify aborted.",
                                  "    Check setup and try downloading again.",
                                  "P"},
                      FailureCase{"ProtectBeginRefused",
                                  {"--nak", "P@1"},
                                  "",
                                  "Yes",
                                  1,
                                  9,
                                  "Communications failure. Protecting aborted.",
                                  "    Check setup and try downloading again.",
                                  ""},
                      FailureCase{"ProtectUnitRefused",
                                  {"--nak", "P@2"},
                                  "",
                                  "Yes",
                                  1,
                                  9,
                                  "Mask failure. Process aborted.",
                                  "    Check setup and try downloading again.",
                                  ""},
                      FailureCase{"ProtectKeyRefused",
                                  {"--nak", "P@2"},
                                  "",
                                  "Yes",
                                  0,
                                  9,
                                  "Protection failure. Process aborted.",
                                  "    Check setup and try downloading again.",
                                  ""},
                      FailureCase{
                          "ProtectionUnsupportedOnOldRevision",
                          {"--old-revision"},
                          "",
                          "Yes",
                          1,
                          9,
                          "Flash protection on this chip revision is not supported by this TALVEX "
                          "version",
                          "    Click Run to run program.",
                          "P"},
                      FailureCase{"GarbageAnswersCountAsRefusals",
                                  {"--garbage-ack", "W@1"},
                                  "",
                                  "No",
                                  0,
                                  7,
                                  "Error at 0x5f0 - 0x600 \n Download aborted.",
                                  "    Check setup and try downloading again.",
                                  "VP"},
                      FailureCase{"SilentTargetGivesUpAfterItsTries",
                                  {"--silent", "W@2"},
                                  "",
                                  "No",
                                  0,
                                  7,
                                  "Error at 0x600 - 0x610 \n Download aborted.",
                                  "    Check setup and try downloading again.",
                                  "VP"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, DamagedImageIsReportedBeforeAnythingIsSent) {
    StartSim({});
    WriteImage("board.hex", HexText(Records(0, 4, 16)).substr(0, 60));
    EXPECT_EQ(RunUnattended(MakeSettings()), 2);
    EXPECT_TRUE(Frames().empty());
    ASSERT_EQ(window_.Failures().size(), 1u);
    EXPECT_NE(window_.Failures()[0].find("board.hex"), std::string::npos);
}

TEST_F(EngineTest, MissingImageIsFileOpenError) {
    StartSim({});
    image_ = (dir_ / "gone.hex").string();
    EXPECT_EQ(RunUnattended(MakeSettings()), 2);
    EXPECT_EQ(window_.Failures(), std::vector<std::string>{"File Open Error."});
    EXPECT_TRUE(Frames().empty());
}

TEST_F(EngineTest, MassEraseRefusedEndsWithFiveAndNoMessage) {
    baud_ = "230400";
    StartSim({"--nak", "E"});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    Settings s = MakeSettings();
    s.massErase = "Yes";
    EXPECT_EQ(RunUnattended(s, 60s), 5);
    EXPECT_TRUE(window_.Failures().empty());
    const auto lines = window_.Lines();
    EXPECT_EQ(
        std::vector<std::string>(lines.end() - 2, lines.end()),
        (std::vector<std::string>{"Flash error.", "    Check setup and try downloading again."}));
    // A mass erase is tried a thousand times before it is given up.
    EXPECT_EQ(Frames('E').size(), 1000u);
}

TEST_F(EngineTest, PageEraseAcknowledgedLateStillSucceeds) {
    baud_ = "230400";
    StartSim({"--ack-after", "34:E@1"});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    EXPECT_EQ(RunUnattended(MakeSettings()), 0);
    EXPECT_EQ(Frames('E').size(), 35u);
}

TEST_F(EngineTest, PortThatCannotBeOpenedIsCodeFour) {
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    EXPECT_EQ(RunUnattended(MakeSettings()), 4);
    EXPECT_EQ(window_.Failures(), std::vector<std::string>{"Can not open COM port."});
}

TEST_F(EngineTest, WrongPartEndsAnUnattendedRunWithSix) {
    auto& sim = StartSim({"--part", "ZaRQ4124"});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    EXPECT_EQ(RunUnattended(MakeSettings()), 6);
    const auto lines = window_.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2],
              sim.IdentificationText() + " received. Incorrect part detected.");
    EXPECT_EQ(lines.back(), "Select correct part from the Configure Dialog.");
    EXPECT_TRUE(Frames().empty());
}

TEST_F(EngineTest, NoiseBeforeTheIdentificationIsReportedAndSkipped) {
    StartSim({"--noise", "hello"});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    EXPECT_EQ(RunUnattended(MakeSettings()), 0);
    EXPECT_EQ(Count(window_.Lines(), "hello received.Waiting for correct ID string."), 1u);
}

TEST_F(EngineTest, PartMissingFromDatabaseFallsBackToDefaultLimit) {
    // ZaRQ4129 is not in the shipped database: a new-revision part with the
    // default kernel limit.
    StartSim({"--part", "ZaRQ4129", "--flash-size", "0x20000", "--kernel-start", "0x9F800"});
    WriteImage("board.hex", HexText({{0xF7F0, Pattern(16, 3)}, {0xF800, Pattern(16, 4)}}));
    Settings s = MakeSettings();
    s.part = "ZaRQ4129";
    EXPECT_EQ(RunUnattended(s), 3);
    EXPECT_EQ(Count(window_.Lines(), "*** Please contact ZEL for an updated zelchip.ini ***"), 1u);
    EXPECT_EQ(worker_->Chip().flashLimit, 0x8F800u);
    EXPECT_EQ(window_.Failures().front(), "Wrong memory address 0xf800 - 0xf80f \n Erase aborted.");
}

TEST_F(EngineTest, OlderRevisionPadsRecordsToHalfwords) {
    StartSim({"--old-revision"});
    // Three bytes at an odd offset become four at the even one below.
    WriteImage("board.hex", HexText({{0x101, {0x11, 0x22, 0x33}}}));
    EXPECT_EQ(RunUnattended(MakeSettings()), 0);
    const auto writes = Frames('W');
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].value, 0x100u);
    EXPECT_EQ(writes[0].data, (std::vector<std::uint8_t>{0xFF, 0x11, 0x22, 0x33}));
    EXPECT_EQ(FlashRange(0x100, 4), (std::vector<std::uint8_t>{0xFF, 0x11, 0x22, 0x33}));
    // The announced size is the image's own, without padding.
    EXPECT_EQ(Count(window_.Lines(), "Downloading ... 3 bytes"), 1u);
    const auto chip = worker_->Chip();
    EXPECT_TRUE(chip.halfwordAlign);
    EXPECT_FALSE(chip.protectSupported);
    EXPECT_FALSE(chip.resetSupported);
}

TEST_F(EngineTest, ProtectionSendsBeginSelectedUnitsAndKey) {
    auto& sim = StartSim({});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    Settings s = MakeSettings();
    s.protect = "Yes";
    // Unit 0, unit 2 and the read-protection unit of the one-block layout.
    s.mask = (1ull << 0) | (1ull << 2) | (1ull << 31);
    s.key0 = "0xC0FFEE";
    EXPECT_EQ(RunUnattended(s), 0);

    const auto p = Frames('P');
    ASSERT_EQ(p.size(), 5u);
    EXPECT_EQ(p[0].value, 0u);
    EXPECT_EQ(p[0].data, std::vector<std::uint8_t>{0x00});
    EXPECT_EQ(p[1].value, 0x80000u);
    EXPECT_EQ(p[2].value, 0x81000u);
    EXPECT_EQ(p[3].value, 0x8F800u);
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(p[i].data, std::vector<std::uint8_t>{0x0F});
    EXPECT_EQ(p[4].value, 0xC0FFEEu);
    EXPECT_EQ(p[4].data, std::vector<std::uint8_t>{0x01});
    EXPECT_EQ(sim.Stats().protection.key, std::optional<std::uint32_t>(0xC0FFEE));
    EXPECT_EQ(Count(window_.Lines(), "Protecting 0x0000000080000005 with key"), 1u);
}

TEST_F(EngineTest, AutorunEndsTheUnattendedRunAfterTheRunFrame) {
    auto& sim = StartSim({});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    Settings s = MakeSettings();
    s.autorun = "Yes";
    s.runMode = 1;
    EXPECT_EQ(RunUnattended(s), 0);
    const auto r = Frames('R');
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].value, 1u) << "a new revision may reset";
    EXPECT_EQ(window_.Lines().back(), "Running.");
    EXPECT_EQ(sim.Stats().resets, 1u);
}

TEST_F(EngineTest, ResetOnOldRevisionRunsInstead) {
    StartSim({"--old-revision"});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    Settings s = MakeSettings();
    s.autorun = "Yes";
    s.runMode = 1;
    EXPECT_EQ(RunUnattended(s), 0);
    const auto r = Frames('R');
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].value, 0u);
    EXPECT_EQ(Count(window_.Lines(), "\"Reset\" unsupported. Performing \"Run\" instead"), 1u);
}

TEST_F(EngineTest, RunFrameNotAnsweredIsCodeFour) {
    baud_ = "230400";
    StartSim({"--nak", "R"});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    Settings s = MakeSettings();
    s.autorun = "Yes";
    EXPECT_EQ(RunUnattended(s), 4);
    const auto lines = window_.Lines();
    EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
              (std::vector<std::string>{"Run Communications failure.",
                                        "    Re-enter download to continue."}));
    EXPECT_EQ(Frames('R').size(), 10u);
}

TEST_F(EngineTest, LongRecordsGoOutInPiecesOfAtMost250Bytes) {
    StartSim({});
    // 255 bytes, the longest a record can hold (521 characters).
    const auto chunks = std::vector<Chunk>{{0x400, Pattern(255, 7)}, {0x600, Pattern(255, 8)}};
    WriteImage("board.hex", HexText(chunks));
    EXPECT_EQ(RunUnattended(MakeSettings()), 0);
    const auto writes = Frames('W');
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[0].value, 0x400u);
    EXPECT_EQ(writes[0].data.size(), 250u);
    EXPECT_EQ(writes[1].value, 0x400u + 250);
    EXPECT_EQ(writes[1].data.size(), 5u);
    EXPECT_EQ(Frames('V').size(), 4u);
    EXPECT_EQ(FlashRange(0x400, 255), chunks[0].bytes);
    EXPECT_EQ(FlashRange(0x600, 255), chunks[1].bytes);
    EXPECT_EQ(Count(window_.Lines(), "Downloading ... 510 bytes"), 1u);
}

TEST_F(EngineTest, PagePlanCoversFlashBeyond128K) {
    StartSim({"--part", "ZaRQ4128"});
    // Above 0x20000 the old map would wrap to page 0.
    const auto chunks = std::vector<Chunk>{{0x10200, Pattern(16, 9)}, {0x1F000, Pattern(16, 10)}};
    WriteImage("board.hex", HexText(chunks));
    Settings s = MakeSettings();
    s.part = "ZaRQ4128";
    EXPECT_EQ(RunUnattended(s), 0);
    const auto erases = Frames('E');
    ASSERT_EQ(erases.size(), 2u);
    EXPECT_EQ(erases[0].value, 0x10200u);
    EXPECT_EQ(erases[1].value, 0x1F000u);
    EXPECT_EQ(FlashRange(0x1F000, 16), chunks[1].bytes);
    EXPECT_EQ(worker_->Chip().flashLimit, 0x9F800u);
}

TEST_F(EngineTest, HangUpMidImageEndsQuicklyAndANewLineWorks) {
    StartSim({"--hangup-after", "5"});
    WriteImage("board.hex", HexText(Records(0, 12, 16)));
    Settings s = MakeSettings();
    s.verify = "No";
    RecordingWindow window;
    SerialThread worker(window, s);
    worker.SetImagePath(s.imageFile);
    const auto started = std::chrono::steady_clock::now();
    worker.PressStart();
    ASSERT_TRUE(window.WaitBoxes(1, 10s));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    // Frames 1 to 5 (the erase and the writes up to 0x30) were answered; the
    // line is gone when the write at 0x40 goes out.
    EXPECT_EQ(window.Boxes()[0], "Error at 0x40 - 0x50 \n Download aborted.");
    ASSERT_TRUE(window.WaitLine("    Check setup and try downloading again.", 5s));
    // As in the window, Start is pressed again once the download has ended.
    ASSERT_TRUE(window.WaitEnabled(kStartButton, 1, 5s));

    // Plug in another target: the same worker programs it.
    sim_->Stop();
    StartSim({});
    s.port = sim_->DevicePath();
    worker.SetSettings(s);
    worker.PressStart();
    ASSERT_TRUE(window.WaitLine("Flashing Complete.", 10s));
    worker.WaitIdle(5s);
    worker.RequestStop();
    worker.Join();
    EXPECT_EQ(window.Boxes().size(), 1u);
    EXPECT_EQ(Frames('W').size(), 12u);
}

TEST_F(EngineTest, LineThatHangsUpBeforeTheIdentificationIsAReadFailure) {
    StartSim({"--never-announce"});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    Settings s = MakeSettings();
    worker_ = std::make_unique<SerialThread>(window_, s);
    worker_->Flags().Unattended.Begin();
    worker_->PressStart();
    ASSERT_TRUE(window_.WaitLine("    Press Download and pulse Reset on hardware.", 5s));
    sim_->Stop();
    EXPECT_EQ(window_.WaitResult(5s), std::optional<int>(4));
    EXPECT_EQ(window_.Failures(), std::vector<std::string>{"Can not read COM port."});
}

// A real port whose first read of the identification fails as a device
// error does (not a hang-up): the line itself stays usable.
class FirstReadFails final : public ForwardingPort {
public:
    bool Read(std::uint8_t* buffer, std::size_t count, std::size_t& received) override {
        failing_ = !failed_;
        failed_ = true;
        if (!failing_) return ForwardingPort::Read(buffer, count, received);
        received = 0;
        return false;
    }
    bool ReadFor(std::uint8_t* buffer, std::size_t count, std::size_t& received,
                 std::chrono::milliseconds timeout) override {
        if (!failed_) return Read(buffer, count, received);
        failing_ = false;
        return ForwardingPort::ReadFor(buffer, count, received, timeout);
    }
    PortStatus LastStatus() const override {
        return failing_ ? PortStatus::IoError : ForwardingPort::LastStatus();
    }

private:
    bool failed_ = false;
    bool failing_ = false;
};

// A failed read of the identification ends the download like any other
// failure: the port is let go and the buttons come back, so that the user
// can press Start again, and that Start connects afresh.
TEST_F(EngineTest, FailedIdentificationReadEndsTheDownloadAndStartWorksAgain) {
    auto& sim = StartSim({});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    Settings s = MakeSettings();
    worker_ = std::make_unique<SerialThread>(window_, s, std::make_unique<FirstReadFails>());
    worker_->SetImagePath(s.imageFile);
    worker_->PressStart();
    ASSERT_TRUE(window_.WaitBoxes(1, 5s));
    EXPECT_EQ(window_.Boxes(), std::vector<std::string>{"Can not read COM port."});
    ASSERT_TRUE(worker_->WaitIdle(5s));

    // Start, Run/Reset and Configure are on again, as after every download.
    const auto buttons = window_.Buttons();
    ASSERT_GE(buttons.size(), 3u);
    const std::vector<ButtonId> ids = {kStartButton, kRunResetButton, kConfigureButton};
    for (std::size_t i = 0; i < ids.size(); ++i) {
        EXPECT_EQ(buttons[buttons.size() - 3 + i].id, ids[i]);
        EXPECT_TRUE(buttons[buttons.size() - 3 + i].enabled) << "button " << ids[i];
    }
    EXPECT_EQ(worker_->Flags().DownloadActive.load(), 0);
    EXPECT_EQ(worker_->Flags().StartPressed.load(), 0);
    // The device is free for another program.
    {
        CSerialPort other;
        EXPECT_TRUE(other.Open(sim.DevicePath(), "115200"));
    }

    worker_->PressStart();
    ASSERT_TRUE(window_.WaitLine("Flashing Complete.", 10s));
    worker_->WaitIdle(5s);
    EXPECT_EQ(Count(window_.Lines(), "Ready @ 115200 baud n,8,1."), 2u);
    EXPECT_EQ(window_.Boxes().size(), 1u);
    EXPECT_EQ(Frames('W').size(), 2u);
}

TEST_F(EngineTest, InteractiveWrongPartShowsNoBoxAndReenablesStart) {
    StartSim({"--part", "ZaRQ4124"});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    worker_ = std::make_unique<SerialThread>(window_, MakeSettings());
    worker_->PressStart();
    ASSERT_TRUE(window_.WaitLine("Select correct part from the Configure Dialog.", 5s));
    worker_->WaitIdle(5s);
    worker_->RequestStop();
    worker_->Join();
    EXPECT_TRUE(window_.Boxes().empty());
    EXPECT_TRUE(window_.Results().empty());
    const auto buttons = window_.Buttons();
    ASSERT_GE(buttons.size(), 3u);
    EXPECT_EQ(buttons[buttons.size() - 3].id, kStartButton);
    EXPECT_TRUE(buttons[buttons.size() - 3].enabled);
}

TEST_F(EngineTest, InteractiveAutorunRunsRightAfterTheDownload) {
    StartSim({});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    Settings s = MakeSettings();
    s.autorun = "Yes";
    worker_ = std::make_unique<SerialThread>(window_, s);
    worker_->PressStart();
    ASSERT_TRUE(window_.WaitLine("Running.", 10s));
    worker_->WaitIdle(5s);
    worker_->RequestStop();
    worker_->Join();
    EXPECT_TRUE(window_.Results().empty());
    EXPECT_EQ(Frames('R').size(), 1u);
    EXPECT_EQ(Frames('R')[0].value, 0u);
}

TEST_F(EngineTest, RunPressedWithoutAPortIsReportedOnceAndDropped) {
    worker_ = std::make_unique<SerialThread>(window_, MakeSettings());
    worker_->PressRunReset();
    ASSERT_TRUE(window_.WaitBoxes(1, 5s));
    EXPECT_EQ(window_.Boxes(), std::vector<std::string>{"Can not open COM port."});
    // The request is dropped, not retried.
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(window_.Boxes().size(), 1u);
    EXPECT_EQ(worker_->Flags().RunRequest.load(), 0);
}

TEST_F(EngineTest, ResetBeforeAnyIdentificationAsksForRun) {
    StartSim({});
    Settings s = MakeSettings();
    s.runMode = 1;
    worker_ = std::make_unique<SerialThread>(window_, s);
    worker_->PressRunReset();
    ASSERT_TRUE(window_.WaitLine("Running.", 5s));
    worker_->WaitIdle(5s);
    worker_->RequestStop();
    worker_->Join();
    EXPECT_EQ(window_.Lines(),
              (std::vector<std::string>{"\"Reset\" unsupported. Performing \"Run\" instead",
                                        "Running."}));
    const auto r = Frames('R');
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].value, 0u);
    // The run step leaves the Run/Reset button off.
    const auto buttons = window_.Buttons();
    ASSERT_FALSE(buttons.empty());
    EXPECT_EQ(buttons.back().id, kRunResetButton);
    EXPECT_FALSE(buttons.back().enabled);
}

TEST_F(EngineTest, IdleWorkerStopsPromptly) {
    worker_ = std::make_unique<SerialThread>(window_, MakeSettings());
    worker_->Resume();
    const auto started = std::chrono::steady_clock::now();
    worker_->RequestStop();
    worker_->Join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 500ms);
}

TEST(ProtectionKey, ReadsHexWithOptionalPrefix) {
    const struct {
        const char* text;
        std::uint32_t key;
    } cases[] = {{"739", 0x739}, {"0x739", 0x739},          {"C0FFEEzz", 0xC0FFEE},    {"", 0},
                 {"xyz", 0},     {"123456789", 0xFFFFFFFF}, {"0xFFFFFFFF", 0xFFFFFFFF}};
    for (const auto& c : cases) EXPECT_EQ(ParseProtectionKey(c.text), c.key) << c.text;
}

} // namespace
} // namespace talvex::testing
