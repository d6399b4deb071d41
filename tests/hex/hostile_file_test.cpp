// Files that are not images, or that try to hold the reader: refused or
// given up at once, and a stop is honoured within a chunk of the file.

#include "hex_reader.h"
#include "hex_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace talvex {
namespace {

using namespace std::chrono_literals;
using test::TempDir;
using Clock = std::chrono::steady_clock;

TEST(OpenImage, RefusesAnythingButARegularFileAtOnce) {
    TempDir dir;
    const auto fifo = dir.Path("pipe.hex").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_directory(dir.Path("folder.hex"));
    const struct {
        const char* name;
        std::string path;
    } cases[] = {
        {"endless device", "/dev/zero"},
        {"FIFO without a writer", fifo},
        {"folder", dir.Path("folder.hex").string()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CHexReader reader;
        const auto start = Clock::now();
        EXPECT_FALSE(reader.OpenImage(c.path));
        EXPECT_LT(Clock::now() - start, 100ms);
        EXPECT_EQ(reader.LastOpenFailure(), ImageOpenFailure::NotRegularFile);
        EXPECT_FALSE(reader.IsOpen());
    }

    CHexReader reader;
    EXPECT_FALSE(reader.OpenImage(dir.Path("missing.hex").string()));
    EXPECT_EQ(reader.LastOpenFailure(), ImageOpenFailure::CannotOpen);
    // A link to a regular file is that file.
    const auto real = dir.Write("real.hex", ":00000001FF\n");
    std::filesystem::create_symlink(real, dir.Path("link.hex"));
    EXPECT_TRUE(reader.OpenImage(dir.Path("link.hex").string()));
    EXPECT_EQ(reader.LastOpenFailure(), ImageOpenFailure::None);
}

TEST(CountImage, GivesUpAGigabyteWordAtOnce) {
    TempDir dir;
    const auto path = dir.Path("blob.hex").string();
    {
        // A sparse gigabyte: a colon, then NUL bytes, one word to the end.
        std::ofstream out(path, std::ios::binary);
        out << ":";
    }
    ASSERT_EQ(truncate(path.c_str(), 1ll << 30), 0);
    CHexReader reader;
    ASSERT_TRUE(reader.OpenImage(path));
    const auto start = Clock::now();
    const ImageCount count = CountImage(reader, "blob.hex");
    EXPECT_LT(Clock::now() - start, 100ms);
    EXPECT_FALSE(count.valid);
    EXPECT_EQ(count.message, "Record in line 1 of blob.hex is longer than 521 characters.");
}

// Blanks only: nothing in it is a record, so a reader that looks at the stop
// request only between records would read all of it first (about 0.2 s).
std::string WriteBlanks(const TempDir& dir, std::size_t megabytes) {
    const auto path = dir.Path("blank.hex").string();
    std::ofstream out(path, std::ios::binary);
    const std::string block(1 << 20, ' ');
    for (std::size_t i = 0; i < megabytes; ++i) out << block;
    return path;
}

TEST(CountImage, HonoursAStopInTheMiddleOfBlanks) {
    TempDir dir;
    const auto path = WriteBlanks(dir, 64);
    CHexReader reader;
    std::atomic<bool> stop{true};
    reader.SetStopFlag(&stop);
    ASSERT_TRUE(reader.OpenImage(path));
    const auto start = Clock::now();
    const ImageCount count = CountImage(reader, "blank.hex", &stop);
    EXPECT_LT(Clock::now() - start, 20ms);
    EXPECT_TRUE(reader.Stopped());
    EXPECT_FALSE(count.valid);
    EXPECT_EQ(count.message, "");
}

} // namespace
} // namespace talvex
