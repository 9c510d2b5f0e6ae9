// The Windows headers, without the macros that would rename the core's
// operations of the same names (MessageBox, PlaySound) in this front end only.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <commdlg.h>
#include <mmsystem.h>
#include <cderr.h>

#undef MessageBox
#undef PlaySound
