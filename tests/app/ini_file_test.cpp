#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "ini_file.h"
#include "temp_dir.h"

namespace talvex {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

struct ReadCase {
    const char* what;
    std::string content;
    const char* section;
    const char* key;
    const char* expected;
};

class IniReadText : public ::testing::TestWithParam<ReadCase> {};

TEST_P(IniReadText, FollowsTheProfileRules) {
    const ReadCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.File("t.ini");
    WriteBytes(path, c.content);
    EXPECT_EQ(ini::ReadText(path, c.section, c.key, "DEF", 1024), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, IniReadText,
    ::testing::Values(
        ReadCase{"LF", "[S]\nK=v\n", "S", "K", "v"},
        ReadCase{"CR LF", "[S]\r\nK=v\r\n", "S", "K", "v"},
        ReadCase{"CR alone", "[S]\rK=v\rX=w", "S", "X", "w"},
        ReadCase{"no final line end", "[S]\nK=v", "S", "K", "v"},
        ReadCase{"byte-order mark", "\xEF\xBB\xBF[S]\nK=v\n", "S", "K", "v"},
        ReadCase{"trimmed of blanks, VT, FF, 0x1A", " \t[S] \f\nK \t=\v v w \x1A\n", "S", "K",
                 "v w"},
        ReadCase{"semicolon line is a comment", "[S]\n;K=c\n", "S", "K", "DEF"},
        ReadCase{"hash is ordinary", "[S]\n#K=h\n", "S", "#K", "h"},
        ReadCase{"semicolon after value kept", "[S]\nK=v ; note\n", "S", "K", "v ; note"},
        ReadCase{"names ignore case", "[tALVEX]\nfILE=f\n", "TalVex", "File", "f"},
        ReadCase{"blanks inside names count", "[S]\nMy Key=v\n", "S", "MyKey", "DEF"},
        ReadCase{"section runs to last bracket", "[a]b] tail\nK=v\n", "a]b", "K", "v"},
        ReadCase{"section name trimmed", "[  S  ]\nK=v\n", "S", "K", "v"},
        ReadCase{"open bracket alone is no section", "[S]\n[T\nK=v\n", "S", "K", "v"},
        ReadCase{"keys before any section", "K=v\n[S]\nX=1\n", "S", "K", "DEF"},
        ReadCase{"first section of a name only", "[S]\nA=1\n[T]\n[s]\nK=2\n", "S", "K", "DEF"},
        ReadCase{"first of two keys wins", "[S]\nK=1\nk=2\n", "S", "K", "1"},
        ReadCase{"split at first equals", "[S]\nK==a=b\n", "S", "K", "=a=b"},
        ReadCase{"empty value is not the default", "[S]\nK=\n", "S", "K", ""},
        ReadCase{"key without equals has no value", "[S]\nK\n", "S", "K", "DEF"},
        ReadCase{"double quotes lose one pair", "[S]\nK=\"a b\"\n", "S", "K", "a b"},
        ReadCase{"single quotes lose one pair", "[S]\nK='x'\n", "S", "K", "x"},
        ReadCase{"mixed quotes stay", "[S]\nK='x\"\n", "S", "K", "'x\""},
        ReadCase{"lone quote stays", "[S]\nK=\"\n", "S", "K", "\""}));

TEST(IniReadText, NulInsideValueIsKeptWhole) {
    TempDir dir;
    const std::string path = dir.File("t.ini");
    WriteBytes(path, std::string("[S]\nK=a\0b\n", 10));
    EXPECT_EQ(ini::ReadText(path, "S", "K", "", 100), std::string("a\0b", 3));
}

TEST(IniReadText, DefaultLosesTrailingBlanksAndEverythingIsCutToSizeMinusOne) {
    TempDir dir;
    const std::string path = dir.File("t.ini");
    EXPECT_EQ(ini::ReadText(path, "S", "K", "def  \t", 100), "def");
    WriteBytes(path, "[S]\nK=abcdef\n");
    EXPECT_EQ(ini::ReadText(path, "S", "K", "", 4), "abc");
    EXPECT_EQ(ini::ReadText(path, "S", "X", "123456", 4), "123");
    EXPECT_EQ(ini::ReadText(path, "S", "K", "", 1), "");
    EXPECT_EQ(ini::ReadText(path, "S", "K", "", 0), "");
}

TEST(IniReadInt, ReadsSignsPrefixesAndWraps) {
    struct Case {
        const char* text;
        std::uint32_t expected;
    } cases[] = {
        {"42", 42},
        {"  +7", 7},
        {"-1", 4294967295u},
        {"12abc", 12},
        {"abc", 0},
        {"0x1F", 31},
        {"0o17", 15},
        {"0b101", 5},
        {"0X10", 0},
        {"-0x10", 0xFFFFFFF0u},
        {"08", 8},
        {"4294967296", 0},
        {"99999999999", 1215752191u},
        {"\"5\"", 5},
        {"0x", 0},
        {"0b2", 0},
    };
    TempDir dir;
    const std::string path = dir.File("t.ini");
    for (const Case& c : cases) {
        WriteBytes(path, std::string("[S]\nK=") + c.text + "\n");
        EXPECT_EQ(ini::ReadInt(path, "S", "K", 77), c.expected) << c.text;
    }
    WriteBytes(path, "[S]\nK=\n");
    EXPECT_EQ(ini::ReadInt(path, "S", "K", 77), 77u) << "empty value";
    EXPECT_EQ(ini::ReadInt(path, "S", "Missing", 77), 77u);
    EXPECT_EQ(ini::ReadInt(dir.File("none.ini"), "S", "K", 77), 77u);
}

TEST(IniWriteText, CreatesFileAndSectionWithLf) {
    TempDir dir;
    const std::string path = dir.File("new.ini");
    ASSERT_TRUE(ini::WriteText(path, "Coms", "Port", "COM3"));
    ASSERT_TRUE(ini::WriteText(path, "Coms", "Baud", "9600"));
    ASSERT_TRUE(ini::WriteText(path, "Flash", "MassErase", "No"));
    EXPECT_EQ(ReadBytes(path), "[Coms]\nPort=COM3\nBaud=9600\n[Flash]\nMassErase=No\n");
}

struct WriteCase {
    const char* what;
    std::string before;
    const char* section;
    const char* key;
    const char* value;
    std::string after;
};

class IniWriteEdits : public ::testing::TestWithParam<WriteCase> {};

TEST_P(IniWriteEdits, ChangesOnlyWhatItMust) {
    const WriteCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.File("t.ini");
    WriteBytes(path, c.before);
    ASSERT_TRUE(ini::WriteText(path, c.section, c.key, c.value)) << c.what;
    EXPECT_EQ(ReadBytes(path), c.after) << c.what;
    EXPECT_EQ(ini::ReadText(path, c.section, c.key, "DEF", 1024), c.value) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Layout, IniWriteEdits,
    ::testing::Values(
        WriteCase{"in place, spelling and neighbours kept",
                  "; top\r\n[talvex]\r\n  FILE = old \r\n\r\nx=1\r\n", "TalVex", "File", "new",
                  "; top\r\n[talvex]\r\n  FILE =new\r\n\r\nx=1\r\n"},
        WriteCase{"key without equals gets one", "[S]\nK \nZ=1\n", "S", "K", "v",
                  "[S]\nK=v\nZ=1\n"},
        WriteCase{"append after last key of first section", "[S]\nA=1\n; c\n\n[T]\nB=2\n[S]\nC=3\n",
                  "S", "N", "v", "[S]\nA=1\nN=v\n; c\n\n[T]\nB=2\n[S]\nC=3\n"},
        WriteCase{"empty section gets key after header", "[S]\n[T]\n", "S", "K", "v",
                  "[S]\nK=v\n[T]\n"},
        WriteCase{"last line without line end", "[S]\nA=1", "S", "K", "v", "[S]\nA=1\nK=v\n"},
        WriteCase{"new section after missing final line end", "[S]\r\nA=1", "T", "K", "v",
                  "[S]\r\nA=1\r\n[T]\r\nK=v\r\n"},
        WriteCase{"CR-only file keeps CR", "[S]\rA=1\r", "S", "K", "v", "[S]\rA=1\rK=v\r"},
        WriteCase{"byte-order mark kept", "\xEF\xBB\xBF[S]\nA=1\n", "S", "A", "2",
                  "\xEF\xBB\xBF[S]\nA=2\n"},
        WriteCase{"only first of two equal keys", "[S]\nK=1\nK=2\n", "S", "K", "3",
                  "[S]\nK=3\nK=2\n"},
        WriteCase{"empty file", "", "S", "K", "v", "[S]\nK=v\n"}));

TEST(IniWriteText, UnchangedValueLeavesFileAlone) {
    TempDir dir;
    const std::string path = dir.File("t.ini");
    WriteBytes(path, "[S]\nK=v\n");
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    EXPECT_TRUE(ini::WriteText(path, "S", "K", "v"));
    EXPECT_FALSE(ini::WriteText(path, "S", "K", "w")) << "read-only file must refuse a change";
    EXPECT_EQ(ReadBytes(path), "[S]\nK=v\n");
}

TEST(IniWriteText, KeepsPermissionsAndLeavesNoTemporaryFile) {
    TempDir dir;
    const std::string path = dir.File("t.ini");
    WriteBytes(path, "[S]\nK=v\n");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ASSERT_TRUE(ini::WriteText(path, "S", "K", "w"));
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    int files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.Dir()))
        ++files;
    EXPECT_EQ(files, 1);
}

TEST(IniWriteText, WritesThroughASymbolicLink) {
    TempDir dir;
    const std::string real = dir.File("real.ini");
    const std::string link = dir.File("link.ini");
    WriteBytes(real, "[S]\nK=v\n");
    std::filesystem::create_symlink(real, link);
    ASSERT_TRUE(ini::WriteText(link, "S", "K", "w"));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ReadBytes(real), "[S]\nK=w\n");
}

TEST(IniWriteText, FailureChangesNothing) {
    TempDir dir;
    EXPECT_FALSE(ini::WriteText(dir.File("no/such/folder/t.ini"), "S", "K", "v"));
    EXPECT_FALSE(std::filesystem::exists(dir.File("no")));

    const std::string path = dir.File("t.ini");
    WriteBytes(path, "[S]\nK=v\n");
    ASSERT_EQ(::chmod(dir.Dir().c_str(), 0555), 0);
    if (::geteuid() != 0) {
        EXPECT_FALSE(ini::WriteText(path, "S", "K", "w"));
    } else {
        // Root writes into any folder, so the attempt is made as "nobody",
        // who owns the file and the folder; only the folder's mode stops it.
        ASSERT_EQ(::chown(dir.Dir().c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
            ::_exit(ini::WriteText(path, "S", "K", "w") ? 1 : 0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the write claimed success; 2: could not drop root";
    }
    EXPECT_EQ(ReadBytes(path), "[S]\nK=v\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Dir()),
                            std::filesystem::directory_iterator()),
              1)
        << "no temporary file left behind";
}

TEST(IniWriteText, RefusesWhatALineCannotHold) {
    TempDir dir;
    const std::string path = dir.File("t.ini");
    WriteBytes(path, "[S]\nK=v\n");
    EXPECT_FALSE(ini::WriteText(path, "S", "K", "a\n[Flash]\nProtect=Yes"));
    EXPECT_FALSE(ini::WriteText(path, "S", "K", "a\rb"));
    EXPECT_FALSE(ini::WriteText(path, "S", "K", std::string("a\0b", 3)));
    EXPECT_FALSE(ini::WriteText(path, "S\n", "K", "v"));
    EXPECT_FALSE(ini::WriteText(path, "S", "K=1", "v"));
    EXPECT_FALSE(ini::WriteText(path, "S", ";K", "v"));
    EXPECT_FALSE(ini::WriteText(path, "S", "[K]", "v"));
    EXPECT_FALSE(ini::WriteText(path, "S", "", "v"));
    EXPECT_FALSE(ini::WriteText(path, "", "K", "v"));
    EXPECT_EQ(ReadBytes(path), "[S]\nK=v\n");
}

TEST(IniFile, BadInputNeverCrashes) {
    TempDir dir;
    const std::string path = dir.File("t.ini");
    std::string garbage;
    for (int i = 0; i < 4096; ++i) garbage += static_cast<char>((i * 131 + 7) & 0xFF);
    // As long as a line can be in a file that is not refused for its size.
    const std::string longLine(ini::kMaxFileBytes - 64, 'x');
    const std::string inputs[] = {
        garbage,          "[S]\nK=" + longLine,
        "[" + longLine,   std::string("\0\0\0[S]\0\nK=\0", 12),
        "\xEF\xBB\xBF",   "\xEF\xBB",
        "=\n[\n]\n[]\n=",
    };
    for (const std::string& input : inputs) {
        WriteBytes(path, input);
        (void)ini::ReadText(path, "S", "K", "d", 1024);
        (void)ini::ReadInt(path, "S", "K", 1);
        EXPECT_TRUE(ini::WriteText(path, "S", "K", "v"));
        EXPECT_EQ(ini::ReadText(path, "S", "K", "d", 1024), "v");
    }
    WriteBytes(path, "[S]\nK=" + longLine + "\n");
    EXPECT_EQ(ini::ReadText(path, "S", "K", "", 1024).size(), 1023u);
}

} // namespace
} // namespace talvex
