#pragma once
// The console program behind the platform's entry point, which hands it the
// command-line words as UTF-8.

namespace talvex {

int RunConsole(int argc, char** argv);

} // namespace talvex
