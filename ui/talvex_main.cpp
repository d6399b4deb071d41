// talvex: the window program. Start-up as talvex-cli has it, then the main
// window's modal run, whose result is the exit code.

#include <QApplication>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command_flags.h"
#include "dialog_hooks.h"
#include "download_session.h"
#include "interrupt_watch.h"
#include "main_dialog.h"
#include "result_code.h"
#include "startup.h"
#include "window_start.h"

using namespace talvex;

namespace {

// Qt's own options, which QApplication takes off the command line itself;
// the ones that take a value take the next word too.
struct QtOption {
    const char* name;
    bool takesValue;
};
constexpr QtOption kQtOptions[] = {
    {"platform", true},
    {"platformpluginpath", true},
    {"platformtheme", true},
    {"plugin", true},
    {"qwindowgeometry", true},
    {"geometry", true},
    {"qwindowicon", true},
    {"icon", true},
    {"qwindowtitle", true},
    {"title", true},
    {"session", true},
    {"display", true},
    {"name", true},
    {"style", true},
    {"stylesheet", true},
    {"reverse", false},
    {"widgetcount", false},
    {"nograb", false},
    {"dograb", false},
    {"sync", false},
};

const QtOption* FindQtOption(const char* word) {
    // Qt takes both -platform and --platform, and -style=fusion.
    std::string name = word + (word[1] == '-' ? 2 : 1);
    name = name.substr(0, name.find('='));
    for (const QtOption& option : kQtOptions) {
        if (name == option.name) return &option;
    }
    return nullptr;
}

bool WroteAll() { return std::fflush(stdout) == 0 && !std::ferror(stdout); }

} // namespace

int main(int argc, char** argv) {
    PrepareStandardStreams();
    // Every word with a leading dash is a flag: ours, or Qt's. None is ever
    // a settings file or ends the options before it.
    std::vector<const char*> words;
    for (int i = 1; i < argc; ++i) {
        const char* word = argv[i];
        if (word[0] != '-') {
            words.push_back(word);
            continue;
        }
        if (std::strcmp(word, "--help") == 0 || std::strcmp(word, "-h") == 0) {
            std::fputs(kWindowUsage, stdout);
            return WroteAll() ? 0 : ToInt(ExitCode::Output);
        }
        if (std::strcmp(word, "--version") == 0 || std::strcmp(word, "-V") == 0) {
            std::printf("talvex %s\n", TALVEX_VERSION);
            return WroteAll() ? 0 : ToInt(ExitCode::Output);
        }
        if (const QtOption* option = FindQtOption(word)) {
            if (option->takesValue && !std::strchr(word, '=')) ++i;
            continue;
        }
        std::fprintf(stderr, "talvex: %s (talvex --help)\n",
                     UnknownFlagText(word, {"--help", "--version"}).c_str());
        return ToInt(ExitCode::Usage);
    }

    // Before Qt sees the arguments: it takes away the ones it knows.
    words.insert(words.begin(), argv[0]);
    const std::string commandLine =
        JoinCommandLine(static_cast<int>(words.size()), words.data(), 1);
    const StartupResult startup = RunStartup(CurrentProgramDir(), commandLine);

    if (const auto code = TellUnattendedStart(startup)) return ToInt(*code);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("TALVEX"));
    QApplication::setApplicationDisplayName(QStringLiteral("TALVEX"));
    QApplication::setApplicationVersion(QStringLiteral(TALVEX_VERSION));
    QApplication::setWindowIcon(ui::AppIcon());
    // The window hides at once when it closes, and the program still serves
    // the worker until it has stopped: that is not the end of the program.
    QApplication::setQuitOnLastWindowClosed(false);

    if (!startup.partDbPresent) {
        ui::ShowMessageBox(nullptr, QString::fromStdString(MissingPartDbMessage(
                                        startup.settings.partDbPath, startup.partDbProblem)));
    }

    ui::MainDialog dialog(startup);
    ui::WatchInterrupts([&dialog] { dialog.done(ToInt(ExitCode::Interrupted)); });
    // -1 after Exit: a POSIX shell sees 255.
    return dialog.exec();
}
