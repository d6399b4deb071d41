#pragma once
// Numbers shared by the resource script and the window's code. Plain
// defines, as the resource compiler reads them too.

#define TALVEX_ICON 128
#define TALVEX_ABOUT_STRING 101
#define TALVEX_MAIN_DIALOG 102

#define TALVEX_EXIT_BUTTON 1001
#define TALVEX_START_BUTTON 1002
#define TALVEX_RUN_RESET_BUTTON 1007
#define TALVEX_STATUS_LIST 1024
#define TALVEX_BROWSE_BUTTON 1025
#define TALVEX_FILE_BOX 1026
#define TALVEX_PROGRESS_BAR 1028
#define TALVEX_CONFIGURE_BUTTON 1029

// The system-menu command of the About entry: system-menu ids keep their
// low four bits clear and stay below 0xF000.
#define TALVEX_ABOUT_COMMAND 0x10
