// Resource ids of the program file.
#pragma once

#define IDS_APP_TITLE 103
#define IDC_LUM_RAX_COM 110  // class name string, menu and accelerator table
#define IDI_LUM_RAX_COM 107  // large icon
#define IDI_SMALL 109        // small icon

// The C++ side has the menu command ids in app/main_window.h.
#ifdef RC_INVOKED
#define IDM_HELP 105
#define IDM_ABOUT 106
#define IDM_OPEN 107
#define IDM_EXIT 108
#define IDM_RECONNECT 109
#define IDM_CHART 111
#endif
