// Reading record texts from the file: whitespace, line numbers, rewinding,
// over-long words and large files.

#include "hex_reader.h"
#include "hex_test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace talvex {
namespace {

using test::Delivered;
using test::Record;
using test::RunPass;
using test::TempDir;

std::vector<std::string> AllTexts(CHexReader& reader) {
    std::vector<std::string> out;
    for (std::string t = reader.NextRecordText(); !t.empty(); t = reader.NextRecordText()) {
        out.push_back(t);
    }
    return out;
}

const std::vector<std::string> kImage = {
    ":020000040008F2",
    ":0400100001020304E2",
    ":03010100112233"
    "95",
    ":00000001FF",
};

TEST(NextRecordText, EverySeparatorReadsTheSameRecords) {
    const struct {
        const char* name;
        std::string before, between, after;
    } layouts[] = {
        {"LF", "", "\n", "\n"},
        {"CR LF", "", "\r\n", "\r\n"},
        {"lone CR", "", "\r", "\r"},
        {"blank lines", "\n\n", "\n\n\n", "\n\n"},
        {"blanks on one line", "  ", " ", " "},
        {"tabs, VT and FF", "\t", "\t\v\f", "\f"},
        {"no final line end", "", "\n", ""},
        {"blank after the end record only", "", "\r\n", " "},
    };
    TempDir dir;
    std::vector<Delivered> reference;
    for (const auto& l : layouts) {
        SCOPED_TRACE(l.name);
        std::string content = l.before;
        for (std::size_t i = 0; i < kImage.size(); ++i) {
            if (i) content += l.between;
            content += kImage[i];
        }
        content += l.after;
        CHexReader reader;
        ASSERT_TRUE(reader.OpenImage(dir.Write("img.hex", content).string()));
        EXPECT_EQ(AllTexts(reader), kImage);
        const auto delivered = RunPass(reader, false);
        ASSERT_EQ(delivered.size(), 2u);
        if (reference.empty()) reference = delivered;
        EXPECT_EQ(delivered, reference);
    }
}

TEST(NextRecordText, ReportsTheLineOnWhichEachTextBegan) {
    TempDir dir;
    // LF, CR LF, lone CR, a blank line, then two texts on one line.
    const std::string content = "a\nb\r\nc\rd\n\ne f\r\n\r\n  g";
    CHexReader reader;
    ASSERT_TRUE(reader.OpenImage(dir.Write("l.hex", content).string()));
    const std::vector<std::pair<std::string, std::size_t>> expected = {
        {"a", 1}, {"b", 2}, {"c", 3}, {"d", 4}, {"e", 6}, {"f", 6}, {"g", 8}};
    for (const auto& [text, line] : expected) {
        EXPECT_EQ(reader.NextRecordText(), text);
        EXPECT_EQ(reader.LineOfLastText(), line) << text;
    }
    EXPECT_EQ(reader.NextRecordText(), "");
    reader.Rewind();
    EXPECT_EQ(reader.NextRecordText(), "a");
    EXPECT_EQ(reader.LineOfLastText(), 1u);

    // A CR LF split across two reads of the file is still one line end.
    const std::string split = "a" + std::string(4094, ' ') + "\r\nb";
    ASSERT_EQ(split.find('\r'), 4095u);
    ASSERT_TRUE(reader.OpenImage(dir.Write("s.hex", split).string()));
    EXPECT_EQ(reader.NextRecordText(), "a");
    EXPECT_EQ(reader.NextRecordText(), "b");
    EXPECT_EQ(reader.LineOfLastText(), 2u);
}

TEST(Rewind, ReadsEveryRecordAgainAfterTheEndOfTheFile) {
    TempDir dir;
    std::string content;
    for (const auto& t : kImage) content += t + "\n";
    content.pop_back(); // the end record is the file's last character
    CHexReader reader;
    ASSERT_TRUE(reader.OpenImage(dir.Write("r.hex", content).string()));
    EXPECT_EQ(AllTexts(reader), kImage);
    EXPECT_EQ(reader.NextRecordText(), ""); // still at the end
    reader.Rewind();
    EXPECT_EQ(AllTexts(reader), kImage);

    // Count pass, then the page-plan pass on the same opening, then a pass
    // on a new opening: all three see the same records.
    reader.SetHalfwordAlign(true);
    const ImageCount count = CountImage(reader, "r.hex");
    ASSERT_TRUE(count.valid) << count.message;
    EXPECT_EQ(count.size, 4 + 3);
    reader.Rewind();
    const auto plan = RunPass(reader, true);
    ASSERT_EQ(plan.size(), 2u);
    EXPECT_EQ(plan[1].address, 0x100u);
    EXPECT_EQ(plan[1].data.size(), 4u);
    reader.CloseImage();
    ASSERT_TRUE(reader.OpenImage(dir.Path("r.hex").string()));
    EXPECT_EQ(RunPass(reader, true), plan);
}

TEST(NextRecordText, KeepsAtMostTheLongestRecordOfALongWord) {
    TempDir dir;
    const std::string exact(kMaxRecordText, 'x');
    const std::string longer(kMaxRecordText + 1, 'y');
    const std::string content = exact + "\n" + longer + "z\n" + std::string(5000, 'w') + " next";
    CHexReader reader;
    ASSERT_TRUE(reader.OpenImage(dir.Write("long.hex", content).string()));
    EXPECT_EQ(reader.NextRecordText(), exact);
    EXPECT_FALSE(reader.LastTextTooLong());
    EXPECT_EQ(reader.NextRecordText(), longer.substr(0, kMaxRecordText));
    EXPECT_TRUE(reader.LastTextTooLong());
    EXPECT_EQ(reader.LineOfLastText(), 2u);
    EXPECT_EQ(reader.NextRecordText().size(), kMaxRecordText);
    EXPECT_TRUE(reader.LastTextTooLong());
    EXPECT_EQ(reader.NextRecordText(), "next");
    EXPECT_FALSE(reader.LastTextTooLong());
    EXPECT_EQ(reader.LineOfLastText(), 3u);
}

TEST(CHexReader, ClosedOrMissingFileGivesNoTexts) {
    TempDir dir;
    CHexReader reader;
    EXPECT_FALSE(reader.IsOpen());
    EXPECT_EQ(reader.NextRecordText(), "");
    EXPECT_FALSE(reader.OpenImage(dir.Path("missing.hex").string()));
    EXPECT_FALSE(reader.IsOpen());
    EXPECT_EQ(reader.NextRecordText(), "");
    reader.Rewind(); // harmless without a file

    ASSERT_TRUE(reader.OpenImage(dir.Write("a.hex", ":00000001FF").string()));
    EXPECT_TRUE(reader.IsOpen());
    reader.CloseImage();
    EXPECT_FALSE(reader.IsOpen());
    EXPECT_EQ(reader.NextRecordText(), "");
    // A new opening starts at the top of the new file.
    ASSERT_TRUE(reader.OpenImage(dir.Write("b.hex", "\n\nq").string()));
    EXPECT_EQ(reader.NextRecordText(), "q");
    EXPECT_EQ(reader.LineOfLastText(), 3u);
}

// Writes `total` bytes of random words, some longer than a record text may
// be, without holding the file in memory; returns the word lengths.
std::vector<std::size_t> WriteRandomWords(const std::string& path, std::size_t total) {
    std::mt19937 rng(1234);
    std::ofstream out(path, std::ios::binary);
    std::vector<std::size_t> lengths;
    std::string chunk;
    std::size_t written = 0;
    const char separators[] = {' ', '\n', '\r', '\t'};
    while (written < total) {
        const std::size_t len = rng() % 16 == 0 ? 400 + rng() % 800 : 1 + rng() % 60;
        for (std::size_t i = 0; i < len; ++i) {
            chunk.push_back(static_cast<char>('!' + rng() % 94));
        }
        chunk.push_back(separators[rng() % 4]);
        lengths.push_back(len);
        written += len + 1;
        if (chunk.size() > 65536) {
            out << chunk;
            chunk.clear();
        }
    }
    out << chunk;
    return lengths;
}

TEST(NextRecordText, ReadsTenMegabytesOfRandomWordsQuickly) {
    TempDir dir;
    const auto path = dir.Path("words.hex").string();
    const auto lengths = WriteRandomWords(path, 10u << 20);
    CHexReader reader;
    ASSERT_TRUE(reader.OpenImage(path));
    const double start = test::ProcessorSeconds();
    std::size_t i = 0;
    for (std::string t = reader.NextRecordText(); !t.empty(); t = reader.NextRecordText(), ++i) {
        ASSERT_LT(i, lengths.size());
        ASSERT_EQ(t.size(), std::min(lengths[i], kMaxRecordText));
        ASSERT_EQ(reader.LastTextTooLong(), lengths[i] > kMaxRecordText);
    }
    const double elapsed = test::ProcessorSeconds() - start;
    EXPECT_EQ(i, lengths.size());
    EXPECT_LT(elapsed, 2.0);

    const ImageCount count = CountImage(reader, "words.hex");
    EXPECT_FALSE(count.valid);
    EXPECT_NE(count.message.find("line 1 of words.hex"), std::string::npos) << count.message;
}

TEST(NextRecordText, OneTenMegabyteWordStaysBounded) {
    TempDir dir;
    const auto path = dir.Path("word.hex").string();
    {
        std::ofstream out(path, std::ios::binary);
        const std::string block(1 << 16, '5');
        out << ":";
        for (int i = 0; i < 160; ++i) out << block;
    }
    CHexReader reader;
    ASSERT_TRUE(reader.OpenImage(path));
    const double start = test::ProcessorSeconds();
    EXPECT_EQ(reader.NextRecordText().size(), kMaxRecordText);
    EXPECT_TRUE(reader.LastTextTooLong());
    EXPECT_EQ(reader.NextRecordText(), "");
    EXPECT_LT(test::ProcessorSeconds() - start, 2.0);
    const ImageCount count = CountImage(reader, "word.hex");
    EXPECT_FALSE(count.valid);
    EXPECT_EQ(count.message, "Record in line 1 of word.hex is longer than 521 characters.");
}

} // namespace
} // namespace talvex
