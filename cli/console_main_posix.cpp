#include "console_main.h"

// The words are the bytes the shell passed, which the core takes as they are.
int main(int argc, char** argv) { return talvex::RunConsole(argc, argv); }
