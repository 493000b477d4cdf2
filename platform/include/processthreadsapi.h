#pragma once
#include "minwindef.h"
#include "winnt.h"

// The current process and thread (pseudo handle -1 for the process, as on Windows).
WINBASEAPI HANDLE WINAPI GetCurrentProcess();
WINBASEAPI DWORD WINAPI GetCurrentProcessId();
WINBASEAPI DWORD WINAPI GetCurrentThreadId();

// Creation flags and start-up flags.
#define CREATE_SUSPENDED 0x00000004u
#define DETACHED_PROCESS 0x00000008u
#define CREATE_NEW_CONSOLE 0x00000010u
#define NORMAL_PRIORITY_CLASS 0x00000020u
#define CREATE_NEW_PROCESS_GROUP 0x00000200u
#define CREATE_UNICODE_ENVIRONMENT 0x00000400u
#define CREATE_BREAKAWAY_FROM_JOB 0x01000000u
#define CREATE_DEFAULT_ERROR_MODE 0x04000000u
#define CREATE_NO_WINDOW 0x08000000u

#define STARTF_USESHOWWINDOW 0x00000001u
#define STARTF_USESTDHANDLES 0x00000100u

#define PROCESS_TERMINATE 0x0001u
#define PROCESS_QUERY_INFORMATION 0x0400u
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000u
#define PROCESS_ALL_ACCESS 0x001FFFFFu

typedef struct _STARTUPINFOW {
  DWORD cb;
  LPWSTR lpReserved;
  LPWSTR lpDesktop;
  LPWSTR lpTitle;
  DWORD dwX;
  DWORD dwY;
  DWORD dwXSize;
  DWORD dwYSize;
  DWORD dwXCountChars;
  DWORD dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  LPBYTE lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
} STARTUPINFOW, *LPSTARTUPINFOW;

typedef struct _PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
} PROCESS_INFORMATION, *PPROCESS_INFORMATION, *LPPROCESS_INFORMATION;

static_assert(sizeof(STARTUPINFOW) == 104 && offsetof(STARTUPINFOW, hStdInput) == 80, "x64 STARTUPINFOW");
static_assert(sizeof(PROCESS_INFORMATION) == 24, "x64 PROCESS_INFORMATION");

// The command line is split by the CommandLineToArgvW rules; the program is
// found as the first token (or applicationName), ".exe" optional on Linux.
WINBASEAPI BOOL WINAPI CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine,
                                      LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes,
                                      BOOL inheritHandles, DWORD creationFlags, LPVOID environment,
                                      LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                                      LPPROCESS_INFORMATION processInformation);
// Starts the program as the token's user in the token's session (a token from
// WTSQueryUserToken), with that environment block and folder.
WINBASEAPI BOOL WINAPI CreateProcessAsUserW(HANDLE hToken, LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
                                            LPSECURITY_ATTRIBUTES lpProcessAttributes,
                                            LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                                            DWORD dwCreationFlags, LPVOID lpEnvironment,
                                            LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
                                            LPPROCESS_INFORMATION lpProcessInformation);
WINBASEAPI DWORD WINAPI ResumeThread(HANDLE thread);
// A handle to a running process by its id, with the rights asked for (PROCESS_TERMINATE,
// SYNCHRONIZE to wait on it, PROCESS_QUERY_(LIMITED_)INFORMATION for its exit code).
WINBASEAPI HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId);
WINBASEAPI BOOL WINAPI TerminateProcess(HANDLE process, UINT exitCode);
WINBASEAPI BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exitCode);
