// The run record's parts: the SHA-256 of the image, JSON that any reader
// takes whatever bytes a target sends, UTC time stamps, the line a recorder
// appends, and the worker telling the recorder about a run cut short.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "engine_fixture.h"
#include "json_reader.h"
#include "json_writer.h"
#include "run_record.h"
#include "sha256.h"

namespace talvex::testing {
namespace {

using namespace std::chrono_literals;

std::string Sha(const std::string& text) {
    Sha256 hash;
    hash.Add(text.data(), text.size());
    return hash.FinishHex();
}

std::string Counting(std::size_t n) {
    std::string text;
    for (std::size_t i = 0; i < n; ++i) text += static_cast<char>(i % 251);
    return text;
}

TEST(Sha256, MatchesPublishedAndIndependentDigests) {
    struct Case {
        std::string input;
        const char* digest;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
         "lmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        // Lengths around the padding boundaries, from another implementation.
        {Counting(55), "463eb28e72f82e0a96c0a4cc53690c571281131f672aa229e0d45ae59b598b59"},
        {Counting(63), "29af2686fd53374a36b0846694cc342177e428d1647515f078784d69cdb9e488"},
        {Counting(64), "fdeab9acf3710362bd2658cdc9a29e8f9c757fcf9811603a8c447cd1d9151108"},
        {Counting(65), "4bfd2c8b6f1eec7a2afeb48b934ee4b2694182027e6d0fc075074f2fabb31781"},
        {Counting(119), "da18797ed7c3a777f0847f429724a2d8cd5138e6ed2895c3fa1a6d39d18f7ec6"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Sha(c.input), c.digest) << "input of " << c.input.size() << " bytes";
    }
}

TEST(Sha256, PiecesGiveTheSameDigestAsOneBlock) {
    const std::string text = Counting(300);
    const std::string whole = Sha(text);
    for (std::size_t piece : {1u, 3u, 55u, 63u, 64u, 65u, 128u}) {
        Sha256 hash;
        for (std::size_t at = 0; at < text.size(); at += piece) {
            hash.Add(text.data() + at, std::min(piece, text.size() - at));
        }
        EXPECT_EQ(hash.FinishHex(), whole) << "pieces of " << piece;
    }
}

TEST(JsonQuote, KeepsUtf8AndEscapesEverythingElse) {
    struct Case {
        std::string input;
        std::string quoted;
    };
    const Case cases[] = {
        {"ZaRQ4126 BOOT rJ.2", "\"ZaRQ4126 BOOT rJ.2\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"line\r\n\tx\x01\x7f", "\"line\\r\\n\\tx\\u0001\\u007f\""},
        {"Gr\xc3\xbc\xc3\x9f"
         "e \xe2\x82\xac",
         "\"Gr\xc3\xbc\xc3\x9f"
         "e \xe2\x82\xac\""},
        {std::string("\xff\x00", 2), "\"\\u00ff\\u0000\""},
        {"\xc0\x80", "\"\\u00c0\\u0080\""},                       // overlong NUL
        {"\xe2\x82", "\"\\u00e2\\u0082\""},                       // cut short
        {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},            // a surrogate
        {"\xf4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""}, // above U+10FFFF
    };
    for (const Case& c : cases) EXPECT_EQ(JsonQuote(c.input), c.quoted);
}

TEST(JsonQuote, EveryByteGivesValidJson) {
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    const auto value = JsonReader::Parse(JsonQuote(all));
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, JsonValue::Type::String);
    EXPECT_EQ(value->text.substr(0, 128), all.substr(0, 128)) << "ASCII comes back as it was";
}

TEST(JsonWriter, FixedPointNumbersNeedNoLocale) {
    JsonWriter w;
    w.BeginObject().Key("a").Fixed(12345, 3).Key("b").Fixed(5, 3).Key("c").Fixed(-1500, 1);
    w.Key("d").Fixed(7, 0).Key("e").BeginObject().EndObject().EndObject();
    EXPECT_EQ(w.Text(), R"({"a":12.345,"b":0.005,"c":-150.0,"d":7,"e":{}})");
}

TEST(FormatUtcTime, GivesIso8601InUtc) {
    struct Case {
        std::int64_t ms;
        const char* text;
    };
    const Case cases[] = {
        {0, "1970-01-01T00:00:00.000Z"},
        {-1, "1969-12-31T23:59:59.999Z"},
        {951782400000, "2000-02-29T00:00:00.000Z"},
        {1796565723456, "2026-12-06T14:02:03.456Z"},
        {4102444799999, "2099-12-31T23:59:59.999Z"},
        {4107542400000, "2100-03-01T00:00:00.000Z"}, // 2100 is no leap year
    };
    for (const Case& c : cases) EXPECT_EQ(FormatUtcTime(c.ms), c.text) << c.ms;
}

std::vector<std::string> Lines(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class RunRecorderTest : public EngineTest {
protected:
    Settings Configured() {
        Settings s = DownloadSettings(partDb_, image_, "COM7", "57600");
        s.settingsPath = (dir_ / "talvex.ini").string();
        s.autorun = "Yes";
        s.runMode = 1;
        s.frameBytes = 128;
        return s;
    }
};

TEST_F(RunRecorderTest, AppendsOneLineWithWhatTheWorkerTold) {
    WriteImage("board.hex", HexText(Records(0, 3, 16)));
    const auto file = dir_ / "records.jsonl";
    std::ofstream(file) << "earlier line\n";
    std::vector<std::string> failures;
    RunRecorder recorder(file.string(), [&](const std::string& t) { failures.push_back(t); });
    recorder.RunBegan(Configured(), image_, true);
    recorder.PhaseBegan(RunPhase::Connect);
    recorder.PhaseCount(RunPhase::Connect, 1);
    recorder.PhaseEnded(RunPhase::Connect);
    recorder.PhaseBegan(RunPhase::Identify);
    recorder.Identified("ZaRQ4126 BOOT rJ.2\r\n");
    recorder.PhaseEnded(RunPhase::Identify);
    recorder.PhaseBegan(RunPhase::Check);
    recorder.PhaseCount(RunPhase::Check, 48);
    recorder.PhaseEnded(RunPhase::Check);
    recorder.PhaseBegan(RunPhase::Write);
    recorder.PhaseCount(RunPhase::Write, 16);
    recorder.LinkReport(57, 2, 3);
    std::this_thread::sleep_for(5ms);
    // The write never ends on its own: the failure ends it.
    recorder.RunEnded(ExitCode::Write, "Error at 0x10 - 0x20 \n Download aborted.");

    EXPECT_TRUE(failures.empty());
    const auto lines = Lines(file);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "earlier line") << "appended, never truncated";
    const auto record = JsonReader::Parse(lines[1]);
    ASSERT_TRUE(record.has_value()) << lines[1];
    const JsonValue& r = *record;
    EXPECT_EQ(r["port"].text, "COM7");
    EXPECT_EQ(r["baud"].text, "57600");
    EXPECT_EQ(r["id"].text, "ZaRQ4126 BOOT rJ.2\r\n");
    EXPECT_EQ(r["image"]["sha256"].text, Sha(HexText(Records(0, 3, 16))));
    EXPECT_EQ(r["image"]["data_bytes"].Int(), 48);
    EXPECT_TRUE(r["asked"]["run_after"].boolean);
    EXPECT_EQ(r["asked"]["run_mode"].text, "reset");
    EXPECT_EQ(r["asked"]["frame_bytes"].Int(), 128);
    EXPECT_EQ(r["done"]["bytes_written"].Int(), 16);
    EXPECT_EQ(r["done"]["bytes_verified"].Int(), 0);
    EXPECT_TRUE(r["done"]["run"].IsNull());
    EXPECT_EQ(r["result"]["code"].Int(), 7);
    EXPECT_EQ(r["result"]["meaning"].text, ExitCodeMeaning(7));
    EXPECT_EQ(r["result"]["message"].text, "Error at 0x10 - 0x20 \n Download aborted.");
    EXPECT_FALSE(r["result"].Has("port_problem"));
    EXPECT_EQ(r["link"]["answer_wait_ms"].Int(), 57);
    EXPECT_EQ(r["link"]["misaligned"].Int(), 2);
    EXPECT_EQ(r["link"]["repeats"].Int(), 3);
    EXPECT_GE(r["phases_ms"]["write"].number, 5.0) << "the phase in hand ends with the run";
    EXPECT_FALSE(r["phases_ms"].Has("verify")) << "phases that never began are not listed";
}

TEST_F(RunRecorderTest, ALineThatCannotBeWrittenGoesToTheHandler) {
    WriteImage("board.hex", HexText(Records(0, 1, 16)));
    const std::string file = (dir_ / "no-folder" / "records.jsonl").string();
    std::vector<std::string> failures;
    RunRecorder recorder(file, [&](const std::string& t) { failures.push_back(t); });
    recorder.RunBegan(Configured(), image_, true);
    recorder.RunEnded(ExitCode::Success, "");
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0], "Run record not written to " + file + ": No such file or directory.");
    recorder.RunEnded(ExitCode::Success, "");
    EXPECT_EQ(failures.size(), 1u) << "one run, one line, one report";
}

TEST_F(RunRecorderTest, AnImageThatCannotBeReadIsNamedWithTheReason) {
    const std::string missing = (dir_ / "gone.hex").string();
    const auto file = dir_ / "records.jsonl";
    RunRecorder recorder(file.string(), {});
    recorder.RunBegan(Configured(), missing, true);
    recorder.RunEnded(ExitCode::Image, "File Open Error.");
    recorder.RunBegan(Configured(), dir_.string(), true);
    recorder.RunEnded(ExitCode::Image, "x is not a regular file.");
    const auto lines = Lines(file);
    ASSERT_EQ(lines.size(), 2u);
    const auto first = JsonReader::Parse(lines[0]);
    const auto second = JsonReader::Parse(lines[1]);
    ASSERT_TRUE(first && second);
    EXPECT_EQ((*first)["image"]["path"].text, missing);
    EXPECT_TRUE((*first)["image"]["sha256"].IsNull());
    EXPECT_EQ((*first)["image"]["problem"].text, "No such file or directory");
    EXPECT_EQ((*second)["image"]["problem"].text, "not a regular file");
}

// The worker's side: a run that a stop cuts short while the target has not
// answered still gets its line, marked as interrupted.
class CountingRecorder final : public IRunObserver {
public:
    void RunBegan(const Settings&, const std::string&, bool download) override {
        began.push_back(download);
    }
    void PhaseBegan(RunPhase phase) override { phases.push_back(phase); }
    void PhaseCount(RunPhase, std::uint64_t) override {}
    void PhaseEnded(RunPhase) override {}
    void Identified(const std::string& text) override { ids.push_back(text); }
    void RunCommand(bool reset) override { commands.push_back(reset); }
    void RunEnded(ExitCode code, const std::string& failure) override {
        codes.push_back(ToInt(code));
        failures.push_back(failure);
    }
    std::vector<bool> began;
    std::vector<RunPhase> phases;
    std::vector<std::string> ids;
    std::vector<bool> commands;
    std::vector<int> codes;
    std::vector<std::string> failures;
};

TEST_F(EngineTest, AStopWhileWaitingForTheTargetRecordsTheRunAsInterrupted) {
    StartSim({"--never-announce"});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    CountingRecorder recorder;
    worker_ = std::make_unique<SerialThread>(window_, MakeSettings());
    worker_->SetRunObserver(&recorder);
    worker_->Flags().Unattended.Begin();
    worker_->PressStart();
    ASSERT_TRUE(window_.WaitLine("    Press Download and pulse Reset on hardware.", 5s));
    worker_->RequestStop();
    worker_->Join();
    EXPECT_EQ(recorder.began, std::vector<bool>{true});
    EXPECT_EQ(recorder.codes, std::vector<int>{130});
    EXPECT_EQ(recorder.phases, (std::vector<RunPhase>{RunPhase::Connect, RunPhase::Identify}));
}

TEST_F(EngineTest, AnInteractiveDownloadAndALaterRunAreTwoRecords) {
    StartSim({});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    CountingRecorder recorder;
    worker_ = std::make_unique<SerialThread>(window_, MakeSettings());
    worker_->SetRunObserver(&recorder);
    worker_->PressStart();
    ASSERT_TRUE(window_.WaitLine("Flashing Complete.", 10s));
    ASSERT_TRUE(worker_->WaitIdle(5s));
    EXPECT_EQ(recorder.codes, std::vector<int>{0}) << "no result code, but the outcome";
    worker_->PressRunReset();
    ASSERT_TRUE(window_.WaitLine("Running.", 10s));
    ASSERT_TRUE(worker_->WaitIdle(5s));
    EXPECT_EQ(recorder.began, (std::vector<bool>{true, false}));
    EXPECT_EQ(recorder.codes, (std::vector<int>{0, 0}));
    EXPECT_EQ(recorder.commands, std::vector<bool>{false});
    EXPECT_EQ(recorder.ids, std::vector<std::string>{"ZaRQ4126 BOOT rJ.2"});
}

TEST_F(EngineTest, AnInteractiveFailureIsRecordedWithItsCodeAndText) {
    StartSim({"--nak", "V@1"});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    CountingRecorder recorder;
    worker_ = std::make_unique<SerialThread>(window_, MakeSettings());
    worker_->SetRunObserver(&recorder);
    worker_->PressStart();
    ASSERT_TRUE(window_.WaitLine("Flash error.", 20s));
    ASSERT_TRUE(worker_->WaitIdle(5s));
    EXPECT_EQ(recorder.codes, std::vector<int>{8});
    EXPECT_EQ(recorder.failures,
              std::vector<std::string>{"Error at 0x0 - 0x10 \n Verify aborted."});
}

} // namespace
} // namespace talvex::testing
