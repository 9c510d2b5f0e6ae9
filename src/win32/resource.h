// Resource and control ids of the Windows program, shared by the C++ code and
// res/tarvelin.rc.
#pragma once

#define IDR_MAINICON 128
#define IDD_CONNECT_PARAMS 129
#define IDD_ACCEPT_PARAMS 130
#define IDD_INPUT_LINE 131
#define IDB_BACKGROUND 134
#define IDD_ABOUT 135
#define IDD_STATE 137
#define IDD_CHECK 138
#define IDD_MAIN 102
#define IDS_SOCKETS_FAILED 103

#define IDC_SCRIPT_NAME 1000
#define IDC_CHOOSE_SCRIPT 1001
#define IDC_RUN 1002
#define IDC_UPPER_STATUS 1003
#define IDC_LOWER_STATUS 1004
#define IDC_SERVER 1005
#define IDC_PORT 1006
#define IDC_INPUT_TEXT 1007
#define IDC_ABOUT_TEXT 1008
#define IDC_SYMBOLS 1010
#define IDC_COUNTERS 1011
#define IDC_CHECK_TEXT 1012
#define IDC_CHECK_SCRIPT 1013
#define IDC_TEXTS 1014

#define IDC_FIRST_CHECKBOX 2001
#define IDC_LAST_CHECKBOX 2010
#define IDC_SHADOW 0xFFFF

#define IDM_HELPFILE 2000
#define IDM_ABOUT 2001
#define IDM_STATE 2002
#define IDM_CHECK 2003
