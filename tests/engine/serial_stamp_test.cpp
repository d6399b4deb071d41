// Each board's serial number: in every format, laid over the image's
// placeholder or written where the image leaves the place empty, and what
// the board holds afterwards; every refusal before anything is erased; and
// numbers that are never handed out twice, even to a board that failed.

#include <algorithm>
#include <fstream>
#include <set>

#include "engine_fixture.h"
#include "json_reader.h"
#include "protection_groups.h"
#include "run_record.h"
#include "sha256.h"

namespace talvex::testing {
namespace {

constexpr std::uint32_t kPage = 512;
constexpr std::size_t kFlashSize = 0x10000; // ZaRQ4126, kernel included

std::vector<std::uint8_t> OldFirmware() {
    auto bytes = Pattern(kFlashSize, 0x5E7);
    for (auto& b : bytes) b = b == 0xFF ? 0x00 : b;
    return bytes;
}

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> bytes;
    for (int v : values) bytes.push_back(static_cast<std::uint8_t>(v));
    return bytes;
}

std::vector<std::uint8_t> Ascii(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

struct StampCase {
    const char* name;
    SerialFormat format;
    int bytes;
    std::uint64_t number;
    std::vector<std::uint8_t> expected;
    std::uint32_t offset;     // where the number goes, from the start of flash
    bool placeholder = true;  // the image holds 0xFF bytes there, in a record
    int frameBytes = 0;       // [Flash] FrameBytes
    bool oldRevision = false; // a halfword chip
};

void PrintTo(const StampCase& c, std::ostream* os) { *os << c.name; }

class SerialStampTest : public EngineTest {
protected:
    void StartBoard(std::vector<std::string> args = {}) {
        const std::string old = (dir_ / "old-firmware.bin").string();
        const auto oldBytes = OldFirmware();
        std::ofstream(old, std::ios::binary)
            .write(reinterpret_cast<const char*>(oldBytes.data()),
                   static_cast<std::streamsize>(oldBytes.size()));
        args.insert(args.begin(), {"--flash-init", old});
        StartSim(args);
    }

    std::string CounterPath() const { return (dir_ / "serial.cnt").string(); }

    void WriteCounter(const std::string& text) const { std::ofstream(CounterPath()) << text; }

    std::string ReadCounter() const {
        std::ifstream in(CounterPath());
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    Settings Stamping(SerialFormat format, int bytes, std::uint32_t offset,
                      std::vector<std::uint8_t> placeholder) const {
        Settings s = MakeSettings();
        SerialSettings serial;
        serial.address = 0x80000 + offset;
        serial.bytes = bytes;
        serial.format = format;
        serial.counterPath = CounterPath();
        serial.placeholder = std::move(placeholder);
        s.serial.settings = serial;
        return s;
    }

    // Nothing was erased or written, and the board holds what it held.
    void ExpectBoardUntouched() {
        EXPECT_TRUE(Frames('E').empty()) << "nothing erased";
        EXPECT_TRUE(Frames('W').empty()) << "nothing written";
        EXPECT_EQ(sim_->Flash(), OldFirmware());
    }
};

// The image around the number: records before and after it, and, with a
// placeholder, one record that holds image bytes on both sides of it.
std::vector<Chunk> ImageAround(const StampCase& c) {
    std::vector<Chunk> records = Records(0x0000, 6, 32);
    if (c.placeholder) {
        Chunk around{c.offset - 8, Pattern(8 + static_cast<std::size_t>(c.bytes) + 8, 0x77)};
        std::fill_n(around.bytes.begin() + 8, c.bytes, 0xFF);
        records.push_back(around);
    }
    records.push_back({0x3000, Pattern(48, 0x3000)});
    return records;
}

class StampFormatTest : public SerialStampTest, public ::testing::WithParamInterface<StampCase> {};

TEST_P(StampFormatTest, TheBoardHoldsTheImageWithTheNumberInItsPlace) {
    const StampCase& c = GetParam();
    StartBoard(c.oldRevision ? std::vector<std::string>{"--old-revision"}
                             : std::vector<std::string>{});
    const std::vector<Chunk> records = ImageAround(c);
    WriteImage("board.hex", HexText(records));
    WriteCounter(std::to_string(c.number) + "\n");
    Settings s = Stamping(
        c.format, c.bytes, c.offset,
        c.placeholder ? std::vector<std::uint8_t>(c.bytes, 0xFF) : std::vector<std::uint8_t>{});
    s.frameBytes = c.frameBytes;

    ASSERT_EQ(RunUnattended(s), 0) << ::testing::PrintToString(window_.Failures());

    // Every page the image or the number touches is erased, and no other.
    std::set<std::uint32_t> pages;
    for (const Chunk& r : records) {
        pages.insert(r.address / kPage);
        pages.insert((r.address + static_cast<std::uint32_t>(r.bytes.size()) - 1) / kPage);
    }
    pages.insert(c.offset / kPage);
    pages.insert((c.offset + static_cast<std::uint32_t>(c.bytes) - 1) / kPage);
    std::vector<std::uint32_t> erased;
    for (const auto& e : Frames('E')) erased.push_back(e.value / kPage);
    EXPECT_EQ(erased, std::vector<std::uint32_t>(pages.begin(), pages.end()));

    auto expected = OldFirmware();
    for (std::uint32_t page : pages) std::fill_n(expected.begin() + page * kPage, kPage, 0xFF);
    for (const Chunk& r : records)
        std::copy(r.bytes.begin(), r.bytes.end(), expected.begin() + r.address);
    ASSERT_EQ(c.expected.size(), static_cast<std::size_t>(c.bytes));
    std::copy(c.expected.begin(), c.expected.end(), expected.begin() + c.offset);
    const auto flash = sim_->Flash();
    ASSERT_EQ(flash.size(), expected.size());
    const auto [got, want] = std::mismatch(flash.begin(), flash.end(), expected.begin());
    EXPECT_TRUE(got == flash.end()) << "flash at offset 0x" << std::hex << (got - flash.begin())
                                    << " holds 0x" << int(*got) << ", expected 0x" << int(*want);

    // The target verified the number too: verify frames carry it.
    EXPECT_FALSE(Frames('V').empty());
    EXPECT_EQ(ReadCounter(), std::to_string(c.number + 1) + "\n");
    const auto lines = window_.Lines();
    const auto assigned = std::find(lines.begin(), lines.end(),
                                    "Serial number " + std::to_string(c.number) + " assigned.");
    ASSERT_NE(assigned, lines.end());
    const auto erasing = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.rfind("Erasing ", 0) == 0;
    });
    EXPECT_LT(assigned - lines.begin(), erasing - lines.begin()) << "taken before the erase";
}

INSTANTIATE_TEST_SUITE_P(
    EveryFormat, StampFormatTest,
    ::testing::Values(
        StampCase{"LittleEndian", SerialFormat::Le, 4, 0x01020304, Bytes({4, 3, 2, 1}), 0xF000},
        StampCase{"BigEndian", SerialFormat::Be, 4, 0x01020304, Bytes({1, 2, 3, 4}), 0xF000},
        StampCase{"LittleEndianWiderThanTheNumber", SerialFormat::Le, 10, 0x0102,
                  Bytes({2, 1, 0, 0, 0, 0, 0, 0, 0, 0}), 0xF000},
        StampCase{"AsciiZeroPadded", SerialFormat::Ascii, 6, 1234, Ascii("001234"), 0xF000},
        StampCase{"HexAscii", SerialFormat::HexAscii, 6, 0xBEEF, Ascii("00BEEF"), 0xF000},
        StampCase{"Bcd", SerialFormat::Bcd, 3, 1234, Bytes({0x00, 0x12, 0x34}), 0xF000},
        StampCase{"NoPlaceholderInAnEmptyPage", SerialFormat::Le, 4, 77, Bytes({77, 0, 0, 0}),
                  0xE100, false},
        StampCase{"OverAPageBoundary", SerialFormat::Be, 4, 0xA1B2C3D4,
                  Bytes({0xA1, 0xB2, 0xC3, 0xD4}), 0xE1FE, false},
        StampCase{"InPackedFrames", SerialFormat::Ascii, 5, 42, Ascii("00042"), 0xF010, true, 64},
        StampCase{"HalfwordChipOddPlaceholder", SerialFormat::Le, 3, 0x0A0B0C,
                  Bytes({0x0C, 0x0B, 0x0A}), 0xF001, true, 0, true},
        StampCase{"HalfwordChipOddEmptyPlace", SerialFormat::Be, 3, 0x0A0B0C,
                  Bytes({0x0A, 0x0B, 0x0C}), 0xE101, false, 0, true}));

struct RefusalCase {
    const char* name;
    std::function<void(SerialStampTest&, Settings&, std::vector<Chunk>&)> arrange;
    std::string counter; // the counter file's text; empty: none
    const char* words;   // in the failure
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class StampRefusalTest : public SerialStampTest,
                         public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(StampRefusalTest, EndsWithTwoAndNothingErased) {
    const RefusalCase& c = GetParam();
    StartBoard();
    std::vector<Chunk> records = Records(0x0000, 4, 32);
    Settings s = Stamping(SerialFormat::Le, 4, 0xF000, Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
    records.push_back({0xF000, Bytes({0xFF, 0xFF, 0xFF, 0xFF})});
    c.arrange(*this, s, records);
    s.imageFile = WriteImage("board.hex", HexText(records));
    if (!c.counter.empty()) WriteCounter(c.counter);

    EXPECT_EQ(RunUnattended(s), 2);
    const auto failures = window_.Failures();
    ASSERT_FALSE(failures.empty());
    EXPECT_NE(failures.front().find(c.words), std::string::npos) << failures.front();
    ExpectBoardUntouched();
    if (!c.counter.empty()) {
        EXPECT_EQ(ReadCounter(), c.counter) << "no number taken";
    }
}

INSTANTIATE_TEST_SUITE_P(
    BeforeTheFirstErase, StampRefusalTest,
    ::testing::Values(
        RefusalCase{
            "OtherDataWhereThePlaceholderShouldBe",
            [](SerialStampTest&, Settings&, std::vector<Chunk>& r) { r.back().bytes[2] = 0x12; },
            "100\n", "holds 12 at 0x8F002"},
        RefusalCase{"ThePlaceholderMissingFromTheImage",
                    [](SerialStampTest&, Settings&, std::vector<Chunk>& r) { r.pop_back(); },
                    "100\n", "holds no byte at 0x8F000"},
        RefusalCase{"DataWhereAnEmptyPlaceIsExpected",
                    [](SerialStampTest&, Settings& s, std::vector<Chunk>&) {
                        s.serial.settings->placeholder.clear();
                    },
                    "100\n", "holds FF at 0x8F000"},
        RefusalCase{"LastPassed",
                    [](SerialStampTest&, Settings& s, std::vector<Chunk>&) {
                        s.serial.settings->last = 99;
                    },
                    "100\n", "past Last=99"},
        RefusalCase{"NoCounterFile", [](SerialStampTest&, Settings&, std::vector<Chunk>&) {}, "",
                    "does not exist"},
        RefusalCase{"PlaceOverTheKernel",
                    [](SerialStampTest&, Settings& s, std::vector<Chunk>& r) {
                        s.serial.settings->address = 0x8F7FE;
                        r.pop_back();
                    },
                    "100\n", "outside the flash"},
        RefusalCase{"PlaceInAUnitThisRunProtects",
                    [](SerialStampTest&, Settings& s, std::vector<Chunk>&) {
                        s.protect = "Yes";
                        for (const ProtectionUnit& unit :
                             ListProtectionUnits(BuildProtectionGroups(s.partDbPath, s.part))) {
                            if (unit.start <= 0xF000 && 0xF000 <= unit.end) {
                                s.mask = std::uint64_t{1} << MaskBit(unit);
                            }
                        }
                        ASSERT_NE(s.mask, 0u);
                    },
                    "100\n", "protection unit"}));

TEST_F(SerialStampTest, ANumberTooLongForItsPlaceIsBurnedAndNothingErased) {
    StartBoard();
    WriteImage("board.hex", HexText(Records(0x0000, 2, 16)));
    WriteCounter("100\n");
    Settings s = Stamping(SerialFormat::Ascii, 2, 0xF000, {});
    EXPECT_EQ(RunUnattended(s), 2);
    ExpectBoardUntouched();
    EXPECT_EQ(ReadCounter(), "101\n") << "the number was taken, and is not handed out again";
}

class RecordedStampTest : public SerialStampTest {
protected:
    // One download with a run record; its line.
    JsonValue RecordedRun(const Settings& s, int expectedCode) {
        const auto file = dir_ / "records.jsonl";
        std::filesystem::remove(file);
        RunRecorder recorder(file.string(), {});
        EXPECT_EQ(RunUnattended(s, std::chrono::seconds(20),
                                [&](SerialThread& w) { w.SetRunObserver(&recorder); }),
                  expectedCode);
        std::ifstream in(file);
        std::string line;
        std::getline(in, line);
        auto value = JsonReader::Parse(line);
        EXPECT_TRUE(value.has_value()) << line;
        return value.value_or(JsonValue{});
    }
};

TEST_F(RecordedStampTest, TheRecordKeepsTheNumberTheBytesAndTheImageAsWritten) {
    StartBoard();
    const std::vector<Chunk> records = {{0x0000, Pattern(16, 1)},
                                        {0xF000, Bytes({0xFF, 0xFF, 0xFF, 0xFF})}};
    const std::string hex = HexText(records);
    WriteImage("board.hex", hex);
    WriteCounter("4660\n");
    const JsonValue r =
        RecordedRun(Stamping(SerialFormat::Be, 4, 0xF000, Bytes({0xFF, 0xFF, 0xFF, 0xFF})), 0);
    EXPECT_EQ(r["serial"]["number"].Int(), 4660);
    EXPECT_EQ(r["serial"]["bytes"].text, "00001234");
    EXPECT_FALSE(r["serial_burned"].boolean);
    EXPECT_EQ(r["serial_burned"].type, JsonValue::Type::Bool);

    Sha256 file;
    file.Add(hex.data(), hex.size());
    EXPECT_EQ(r["image"]["sha256"].text, file.FinishHex()) << "the file's own SHA-256";
    // The image as written: each record's address, length and bytes, the
    // number laid over the placeholder.
    Sha256 written;
    const std::vector<std::vector<std::uint8_t>> pieces = {{0x00, 0x08, 0x00, 0x00, 0x00, 0x10},
                                                           Pattern(16, 1),
                                                           {0x00, 0x08, 0xF0, 0x00, 0x00, 0x04},
                                                           Bytes({0x00, 0x00, 0x12, 0x34})};
    for (const auto& piece : pieces) written.Add(piece.data(), piece.size());
    EXPECT_EQ(r["image"]["written_sha256"].text, written.FinishHex());
}

TEST_F(RecordedStampTest, ABoardThatFailsAfterItsNumberBurnsItAndTheNextBoardGetsTheNext) {
    StartBoard({"--nak", "W@2"});
    WriteImage("board.hex", HexText(Records(0x0000, 4, 32)));
    WriteCounter("500\n");
    const Settings s = Stamping(SerialFormat::Le, 2, 0xE000, {});
    const JsonValue failed = RecordedRun(s, 7);
    EXPECT_EQ(failed["serial"]["number"].Int(), 500);
    EXPECT_EQ(failed["serial"]["bytes"].text, "F401");
    EXPECT_TRUE(failed["serial_burned"].boolean);
    EXPECT_TRUE(failed["image"]["written_sha256"].IsNull()) << "the image never went out whole";
    EXPECT_EQ(ReadCounter(), "501\n");

    // The operator tries again on a sound board: a new number, never 500.
    StartBoard();
    window_.Clear();
    Settings again = s;
    again.port = sim_->DevicePath();
    const JsonValue passed = RecordedRun(again, 0);
    EXPECT_EQ(passed["serial"]["number"].Int(), 501);
    EXPECT_FALSE(passed["serial_burned"].boolean);
    EXPECT_EQ(sim_->Flash()[0xE000], 0xF5);
    EXPECT_EQ(sim_->Flash()[0xE001], 0x01);
}

TEST_F(RecordedStampTest, RunsWithoutSerialKeepTheirRecordAsItWas) {
    StartBoard();
    WriteImage("board.hex", HexText(Records(0x0000, 2, 16)));
    const JsonValue r = RecordedRun(MakeSettings(), 0);
    EXPECT_FALSE(r.Has("serial"));
    EXPECT_FALSE(r.Has("serial_burned"));
    EXPECT_FALSE(r["image"].Has("written_sha256"));
}

} // namespace
} // namespace talvex::testing
