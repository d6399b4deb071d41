// What a settings write exposes while it runs and leaves behind when it is
// killed, and which files are refused unread.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include <fcntl.h>

#include <gtest/gtest.h>

#include "file_replace.h"
#include "ini_file.h"
#include "part_db.h"
#include "temp_dir.h"

namespace talvex {
namespace {

using namespace std::chrono_literals;
using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

std::set<std::string> Names(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

TEST(LeftoverNames, OnlyExactTemporaryNamesOfTheFileCount) {
    struct Case {
        const char* name;
        unsigned long pid;
    } cases[] = {
        {"t.ini.tmp123_0", 123},       {"t.ini.tmp4294967295_99", 4294967295ul},
        {"t.ini.tmp4294967296_0", 0},  {"t.ini.tmp0_0", 0},
        {"t.ini.tmp0123_0", 0},        {"t.ini.tmp123_01", 0},
        {"t.ini.tmp123_", 0},          {"t.ini.tmp_1", 0},
        {"t.ini.tmp123_1x", 0},        {"t.ini.tmp12a_1", 0},
        {"t.ini.tmp123", 0},           {"u.ini.tmp123_0", 0},
        {"xt.ini.tmp123_0", 0},        {"t.ini", 0},
        {"t.ini.tmp12345678901_0", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(detail::LeftoverPid(c.name, "t.ini"), c.pid) << c.name;
    EXPECT_EQ(detail::LeftoverPid(detail::TempFileName("t.ini", 77, 3), "t.ini"), 77u);
}

// What the temporary file looked like to other users at each stage.
struct Seen {
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    off_t size = -1;
    bool seen = false;
};
Seen g_created;
Seen g_written;

void Observe(detail::TempStage stage, const std::string& tempPath) {
    struct stat info {};
    if (::stat(tempPath.c_str(), &info) != 0) return;
    Seen& seen = stage == detail::TempStage::Created ? g_created : g_written;
    seen = {static_cast<mode_t>(info.st_mode & 07777), info.st_uid, info.st_gid, info.st_size,
            true};
}

class TempFileMode : public ::testing::Test {
protected:
    void SetUp() override {
        // With no umask a temporary file created with the default mode would
        // be readable and writable by everyone.
        savedMask_ = ::umask(0);
        g_created = {};
        g_written = {};
        detail::SetTempFileObserver(Observe);
    }
    void TearDown() override {
        detail::SetTempFileObserver(nullptr);
        ::umask(savedMask_);
    }
    mode_t savedMask_ = 0;
    TempDir dir_;
};

TEST_F(TempFileMode, TheCopyHasTheFinalModeBeforeTheKeyGoesIn) {
    for (mode_t mode : {0600u, 0640u, 0604u}) {
        const std::string path = dir_.File("secret.ini");
        WriteBytes(path, "[Flash]\nKey0=739\n");
        ASSERT_EQ(::chmod(path.c_str(), mode), 0);
        ASSERT_TRUE(ini::WriteText(path, "Flash", "Key0", "5EC2E7"));
        ASSERT_TRUE(g_created.seen && g_written.seen);
        EXPECT_EQ(g_created.size, 0) << "looked at before the first byte";
        EXPECT_GT(g_written.size, 0);
        EXPECT_EQ(g_created.mode, mode) << std::oct << mode;
        EXPECT_EQ(g_written.mode, mode) << std::oct << mode;
        struct stat info {};
        ASSERT_EQ(::stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, mode);
    }
}

TEST_F(TempFileMode, TheCopyBelongsToTheOwnerBeforeTheKeyGoesIn) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file to another owner";
    const std::string path = dir_.File("secret.ini");
    WriteBytes(path, "[Flash]\nKey0=739\n");
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ASSERT_TRUE(ini::WriteText(path, "Flash", "Key0", "5EC2E7"));
    ASSERT_TRUE(g_created.seen);
    EXPECT_EQ(g_created.uid, 65534u);
    EXPECT_EQ(g_created.gid, 65534u) << "the group may read a 0640 file; it must be the old group";
    EXPECT_EQ(g_created.mode, 0640u);
}

TEST_F(TempFileMode, ANewFileIsTheOwnersAloneBeforeTheKeyGoesIn) {
    ::umask(022);
    const std::string path = dir_.File("new.ini");
    ASSERT_TRUE(ini::WriteText(path, "Flash", "Key0", "5EC2E7"));
    EXPECT_EQ(g_created.mode, 0600u);
}

// Stops the writer for good once the content is in, as a kill at the worst
// moment would.
void FreezeWhenWritten(detail::TempStage stage, const std::string&) {
    if (stage == detail::TempStage::Written) {
        for (;;) ::pause();
    }
}

// The temporary files in folder whose name carries pid.
bool HasLeftoverOf(const std::string& folder, const std::string& base, pid_t pid) {
    for (const std::string& name : Names(folder)) {
        if (detail::LeftoverPid(name, base) == static_cast<unsigned long>(pid)) return true;
    }
    return false;
}

TEST(Leftovers, KilledWritersLeaveNothingAfterTheNextWrite) {
    TempDir dir;
    const std::string path = dir.File("talvex.ini");
    WriteBytes(path, "[Coms]\nPort=COM1\n");

    // Writers killed with SIGKILL in the middle of their write.
    std::vector<pid_t> dead;
    for (int i = 0; i < 5; ++i) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            detail::SetTempFileObserver(FreezeWhenWritten);
            ini::WriteText(path, "Coms", "Port", "COM" + std::to_string(10 + i));
            ::_exit(0);
        }
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!HasLeftoverOf(dir.Dir(), "talvex.ini", child) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(HasLeftoverOf(dir.Dir(), "talvex.ini", child)) << "writer " << i;
        dead.push_back(child);
    }
    EXPECT_EQ(ReadBytes(path), "[Coms]\nPort=COM1\n") << "a killed write changes nothing";

    // A live process of its own, and names that only look alike.
    const pid_t live = ::fork();
    ASSERT_GE(live, 0);
    if (live == 0) {
        for (;;) ::pause();
    }
    const std::string deadPid = std::to_string(dead.front());
    const std::vector<std::string> kept = {
        detail::TempFileName("talvex.ini", static_cast<unsigned long>(live), 0),
        detail::TempFileName("talvex.ini", static_cast<unsigned long>(::getpid()), 7),
        "talvex.ini.tmp" + deadPid + "_1x",
        "talvex.ini.tmp0" + deadPid + "_1",
        "other.ini.tmp" + deadPid + "_0",
        "talvex.ini.tmp" + deadPid,
    };
    for (const std::string& name : kept) WriteBytes(dir.File(name), "x");
    const std::string folderLike = "talvex.ini.tmp" + deadPid + "_50";
    std::filesystem::create_directory(dir.File(folderLike));

    ASSERT_TRUE(ini::WriteText(path, "Coms", "Port", "COM2"));
    ::kill(live, SIGKILL);
    ::waitpid(live, nullptr, 0);

    std::set<std::string> expected(kept.begin(), kept.end());
    expected.insert("talvex.ini");
    expected.insert(folderLike);
    EXPECT_EQ(Names(dir.Dir()), expected);
    EXPECT_EQ(ReadBytes(path), "[Coms]\nPort=COM2\n");
}

struct RefusedFile {
    const char* what;
    void (*make)(const std::string& path);
    const char* reason; // empty: accepted
    // Why a write of one more key is refused, when the file is read but
    // would grow past the limit; empty: as reason.
    const char* growReason = "";
};

// Opens the FIFO for writing after a while and closes it again, so that a
// reader that blocked in open comes free (late) instead of hanging the test.
class FifoWatchdog {
public:
    explicit FifoWatchdog(std::string path) : path_(std::move(path)), thread_([this] { Run(); }) {}
    ~FifoWatchdog() {
        done_ = true;
        thread_.join();
    }

private:
    void Run() {
        const auto deadline = std::chrono::steady_clock::now() + 3s;
        while (!done_ && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        for (int i = 0; i < 50 && !done_; ++i) {
            int fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) ::close(fd);
            std::this_thread::sleep_for(10ms);
        }
    }
    std::string path_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

const RefusedFile kRefusedFiles[] = {
    {"exactly 1 MB",
     [](const std::string& p) {
         WriteBytes(p, "[S]\nK=v\n" + std::string(ini::kMaxFileBytes - 8, ';'));
     },
     "",
     // Grown past the limit, every later read would refuse it.
     "the file would grow to 1048580 bytes, past the 1 MB a settings file may have"},
    {"1 MB and one byte",
     [](const std::string& p) {
         WriteBytes(p, "[S]\nK=v\n" + std::string(ini::kMaxFileBytes - 7, ';'));
     },
     "larger than 1 MB: 1048577 bytes"},
    {"2 MB", [](const std::string& p) { WriteBytes(p, "[S]\nK=v\n" + std::string(2 << 20, ';')); },
     "larger than 1 MB: 2097160 bytes"},
    {"link to /dev/zero",
     [](const std::string& p) { std::filesystem::create_symlink("/dev/zero", p); },
     "not a regular file but a device"},
    {"FIFO", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
     "not a regular file but a FIFO"},
    {"folder", [](const std::string& p) { std::filesystem::create_directory(p); },
     "not a regular file but a folder"},
};

TEST(RefusedFiles, SettingsFilesAreNeitherReadNorReplaced) {
    for (const RefusedFile& c : kRefusedFiles) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir.File("t.ini");
        c.make(path);
        FifoWatchdog watchdog(path);
        const bool accepted = std::string(c.reason).empty();
        const auto started = std::chrono::steady_clock::now();

        const ini::FileCheck check = ini::CheckFile(path);
        EXPECT_EQ(check.status, accepted ? ini::FileStatus::Readable : ini::FileStatus::Refused);
        EXPECT_EQ(check.reason, c.reason);
        EXPECT_EQ(ini::ReadText(path, "S", "K", "DEF", 100), accepted ? "v" : "DEF");
        EXPECT_EQ(ini::ReadInt(path, "S", "K", 5), accepted ? 0u : 5u);
        std::string whyNot;
        const bool stored = ini::WriteText(path, "S", "N", "w", &whyNot);
        const std::string writeReason = *c.growReason ? c.growReason : c.reason;
        EXPECT_EQ(stored, writeReason.empty());
        EXPECT_EQ(whyNot, writeReason);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 2s) << "nothing blocks";

        EXPECT_EQ(Names(dir.Dir()), std::set<std::string>{"t.ini"}) << "no file beside it";
        if (*c.growReason) {
            EXPECT_EQ(std::filesystem::file_size(path), ini::kMaxFileBytes);
        }
        if (!accepted) {
            EXPECT_EQ(std::filesystem::is_symlink(path),
                      std::string(c.what) == "link to /dev/zero");
            if (std::filesystem::is_regular_file(path)) {
                EXPECT_EQ(ReadBytes(path).substr(0, 8), "[S]\nK=v\n");
                EXPECT_GT(std::filesystem::file_size(path), ini::kMaxFileBytes);
            }
        }
    }
}

TEST(RefusedFiles, PartDatabasesCountAsMissingWithTheReason) {
    for (const RefusedFile& c : kRefusedFiles) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir.File("zelchip.ini");
        c.make(path);
        // A part section at the top shows whether anything was read at all.
        if (std::filesystem::is_regular_file(path)) {
            std::string text = ReadBytes(path);
            WriteBytes(path, "[ZaRQ4126]\nKStart=0x8F800\n" + text.substr(26));
        }
        FifoWatchdog watchdog(path);
        const bool accepted = std::string(c.reason).empty();
        const auto started = std::chrono::steady_clock::now();

        const PartDbCheck check = CheckPartDb(path);
        EXPECT_EQ(check.present, accepted);
        EXPECT_EQ(check.reason, c.reason);
        EXPECT_EQ(ListParts(path).size(), accepted ? 1u : 0u);
        EXPECT_EQ(ReadPartKey(path, "ZaRQ4126", "KStart", "-1"), accepted ? "0x8F800" : "-1");
        EXPECT_LT(std::chrono::steady_clock::now() - started, 2s) << "nothing blocks";
    }
}

TEST(RefusedFiles, UnreadableAndMissingAreToldApart) {
    TempDir dir;
    EXPECT_EQ(ini::CheckFile(dir.File("none.ini")).status, ini::FileStatus::Missing);
    EXPECT_EQ(ini::CheckFile(dir.File("no/such/folder.ini")).status, ini::FileStatus::Missing);
    EXPECT_FALSE(CheckPartDb(dir.File("zelchip.ini")).present);
    EXPECT_EQ(CheckPartDb(dir.File("zelchip.ini")).reason, "") << "missing needs no reason";
    std::string whyNot;
    EXPECT_FALSE(ini::WriteText(dir.File("no/such/t.ini"), "S", "K", "v", &whyNot));
    EXPECT_EQ(whyNot, "no such folder");
    EXPECT_FALSE(ini::WriteText(dir.File("t.ini"), "S", "K", "a\nb", &whyNot));
    EXPECT_EQ(whyNot, "the value holds a line break or a NUL byte");
}

} // namespace
} // namespace talvex
