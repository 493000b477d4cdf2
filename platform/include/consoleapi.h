#pragma once
// Console control: signals stand for the console's events (SIGINT Ctrl-C,
// SIGQUIT Ctrl-Break, SIGHUP close, SIGTERM shutdown); handlers run on a
// thread of their own, never inside a signal handler.
#include "minwindef.h"

#define CTRL_C_EVENT 0u
#define CTRL_BREAK_EVENT 1u
#define CTRL_CLOSE_EVENT 2u
#define CTRL_LOGOFF_EVENT 5u
#define CTRL_SHUTDOWN_EVENT 6u

typedef BOOL(WINAPI* PHANDLER_ROUTINE)(DWORD ctrlType);

WINBASEAPI BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);
