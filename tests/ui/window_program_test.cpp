// The real talvex program, as a batch file runs it: unattended, offscreen,
// against zarq-sim, with the exit code as the only answer.

#include <QProcess>
#include <QProcessEnvironment>
#include <filesystem>

#include "window_fixture.h"

namespace talvex::testing {
namespace {

struct ProgramRun {
    int exitCode = -1000;
    QString errors;
    QString output;
};

ProgramRun RunProgram(const QString& program, const QStringList& args, const QString& platform) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    process.setProcessEnvironment(env);
    process.start(program, args);
    ProgramRun run;
    if (!process.waitForFinished(60000)) {
        ADD_FAILURE() << program.toStdString() << " did not end";
        process.kill();
        process.waitForFinished();
        return run;
    }
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << program.toStdString() << " crashed";
    run.exitCode = process.exitCode();
    run.errors = QString::fromLocal8Bit(process.readAllStandardError());
    run.output = QString::fromLocal8Bit(process.readAllStandardOutput());
    return run;
}

QString Program() { return QStringLiteral(TALVEX_BIN_DIR "/talvex"); }

TEST_F(WindowTest, TheProgramRunUnattendedFlashesTheImageAndEndsWithZero) {
    StartSim({});
    const auto chunks = Records(0, 32, 64);
    const std::string image = WriteImage("board.hex", HexText(chunks));
    const QStringList args = {
        QString::fromStdString((dir_ / "batch.ini").string()),
        QString::fromStdString("af=" + image),
        QStringLiteral("aa=y"),
        QStringLiteral("ap=ZaRQ4126"),
        QString::fromStdString("cp=" + sim_->DevicePath()),
        QStringLiteral("cb=115200"),
        QStringLiteral("fe=n"),
        QStringLiteral("fp=y"),
        QStringLiteral("fv=y"),
        QStringLiteral("fh=n"),
        QStringLiteral("rr=n"),
    };
    const ProgramRun run = RunProgram(Program(), args, QStringLiteral("offscreen"));
    EXPECT_EQ(run.exitCode, 0) << run.errors.toStdString();
    EXPECT_EQ(FlashRange(0, 2048), ImageBytes(chunks));
    EXPECT_EQ(Frames('W').size(), 32u);
    // The options went into the settings file the command line named.
    EXPECT_EQ(ini::ReadText((dir_ / "batch.ini").string(), "Coms", "Port", "", 1000),
              sim_->DevicePath());
}

TEST_F(WindowTest, TheProgramRunUnattendedReportsAPortThatDoesNotOpen) {
    const QStringList args = {
        QString::fromStdString((dir_ / "batch.ini").string()),
        QStringLiteral("aa=y"),
        QString::fromStdString("cp=" + (dir_ / "no-such-port").string()),
    };
    const ProgramRun run = RunProgram(Program(), args, QStringLiteral("offscreen"));
    EXPECT_EQ(run.exitCode, 4);
    EXPECT_TRUE(run.errors.contains(QStringLiteral("Can not open COM port.")))
        << run.errors.toStdString();
}

TEST_F(WindowTest, TheProgramStoppedBySigtermClosesThePortAndEndsWith130) {
    // A target that never answers: the run would wait for ever.
    StartSim({"--never-announce"});
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(env);
    process.start(
        Program(),
        {QString::fromStdString((dir_ / "batch.ini").string()), QStringLiteral("aa=y"),
         QString::fromStdString("cp=" + sim_->DevicePath()), QStringLiteral("cb=115200")});
    // Wake bytes arrive once the window waits for the identification.
    ASSERT_TRUE(WaitFor([&] { return sim_->Stats().bytesSkipped > 0; }, 20000));
    process.terminate();
    ASSERT_TRUE(process.waitForFinished(5000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit)
        << "ended by its own hand, not the signal";
    EXPECT_EQ(process.exitCode(), 130);
}

TEST_F(WindowTest, TheProgramWithoutItsPartDatabaseEndsWithTwoAndOpensNoWindow) {
    // A program folder without zelchip.ini.
    const auto folder = dir_ / "program";
    std::filesystem::create_directory(folder);
    const auto copy = folder / "talvex";
    std::filesystem::copy_file(Program().toStdString(), copy);
    // No window system at all: the run must not even try to open a window.
    const ProgramRun run = RunProgram(QString::fromStdString(copy.string()),
                                      {QStringLiteral("aa=y")}, QStringLiteral("no-such-platform"));
    EXPECT_EQ(run.exitCode, 2) << run.errors.toStdString();
    EXPECT_TRUE(run.errors.contains(QStringLiteral("can not be located")))
        << run.errors.toStdString();
}

TEST_F(WindowTest, TheProgramWithARefusedPartDatabaseSaysWhy) {
    const auto folder = dir_ / "program";
    std::filesystem::create_directories(folder / "zelchip.ini");
    const auto copy = folder / "talvex";
    std::filesystem::copy_file(Program().toStdString(), copy);
    const ProgramRun run = RunProgram(QString::fromStdString(copy.string()),
                                      {QStringLiteral("aa=y")}, QStringLiteral("no-such-platform"));
    EXPECT_EQ(run.exitCode, 2) << run.errors.toStdString();
    EXPECT_TRUE(
        run.errors.contains(QStringLiteral("can not be used (not a regular file but a folder)")))
        << run.errors.toStdString();
}

TEST_F(WindowTest, AnUnattendedRunNamesAnImageThatCannotBeUsedAndEndsWithTwo) {
    StartSim({});
    const std::string missing = (dir_ / "missing.hex").string();
    const QStringList args = {
        QString::fromStdString((dir_ / "batch.ini").string()),
        QString::fromStdString("af=" + missing),
        QStringLiteral("aa=y"),
        QString::fromStdString("cp=" + sim_->DevicePath()),
        QStringLiteral("cb=115200"),
    };
    const ProgramRun run = RunProgram(Program(), args, QStringLiteral("offscreen"));
    EXPECT_EQ(run.exitCode, 2) << run.errors.toStdString();
    EXPECT_TRUE(run.errors.toStdString().starts_with(
        "talvex: af=" + missing +
        " cannot be used (No such file or directory); this run will end with code 2\n"))
        << run.errors.toStdString();
    EXPECT_TRUE(Frames('W').empty());
}

// Asked from a shell without a display: the answer comes, no window is
// tried, no settings file is written.
TEST_F(WindowTest, HelpAndVersionAnswerWithoutAWindowOrASettingsFile) {
    const auto folder = dir_ / "program";
    std::filesystem::create_directory(folder);
    const auto copy = folder / "talvex";
    std::filesystem::copy_file(Program().toStdString(), copy);
    struct Case {
        const char* flag;
        int code;
        const char* output; // what stdout begins with
        const char* error;  // what stderr holds
    } cases[] = {
        {"--help", 0, "Usage: talvex ", ""},
        {"-h", 0, "Usage: talvex ", ""},
        {"--version", 0, "talvex " TALVEX_VERSION "\n", ""},
        {"-V", 0, "talvex " TALVEX_VERSION "\n", ""},
        {"--hlep", 64, "", "talvex: unknown flag --hlep; did you mean --help? (talvex --help)\n"},
    };
    for (const Case& c : cases) {
        const ProgramRun run = RunProgram(QString::fromStdString(copy.string()),
                                          {QString::fromLatin1(c.flag), QStringLiteral("cp=COM3")},
                                          QStringLiteral("no-such-platform"));
        EXPECT_EQ(run.exitCode, c.code) << c.flag << run.errors.toStdString();
        EXPECT_TRUE(run.output.toStdString().starts_with(c.output))
            << c.flag << ": " << run.output.toStdString();
        EXPECT_EQ(run.errors.toStdString(), c.error) << c.flag;
        EXPECT_FALSE(std::filesystem::exists(folder / "talvex.ini")) << c.flag;
    }
}

} // namespace
} // namespace talvex::testing
