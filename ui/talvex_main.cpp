// talvex: the window program. Start-up as talvex-cli has it, then the main
// window's modal run, whose result is the exit code.

#include <QApplication>
#include <cstdio>
#include <string>

#include "dialog_hooks.h"
#include "interrupt_watch.h"
#include "main_dialog.h"
#include "result_code.h"
#include "startup.h"

using namespace talvex;

int main(int argc, char** argv) {
    // Before Qt sees the arguments: it takes away the ones it knows.
    const std::string commandLine = JoinCommandLine(argc, argv, 1);
    const StartupResult startup = RunStartup(CurrentProgramDir(), commandLine);

    if (!startup.partDbPresent && startup.unattended) {
        // No window at all, so a batch file gets its code even where no
        // display is at hand; its log still learns why.
        std::fprintf(stderr, "talvex: %s\n",
                     MissingPartDbMessage(startup.settings.partDbPath).c_str());
        return ToInt(ExitCode::Image);
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("TALVEX"));
    QApplication::setApplicationDisplayName(QStringLiteral("TALVEX"));
    QApplication::setApplicationVersion(QStringLiteral(TALVEX_VERSION));
    QApplication::setWindowIcon(ui::AppIcon());
    // The window hides at once when it closes, and the program still serves
    // the worker until it has stopped: that is not the end of the program.
    QApplication::setQuitOnLastWindowClosed(false);

    if (!startup.partDbPresent) {
        ui::ShowMessageBox(
            nullptr, QString::fromStdString(MissingPartDbMessage(startup.settings.partDbPath)));
    }

    ui::MainDialog dialog(startup);
    ui::WatchInterrupts([&dialog] { dialog.done(ToInt(ExitCode::Interrupted)); });
    // -1 after Exit: a POSIX shell sees 255.
    return dialog.exec();
}
