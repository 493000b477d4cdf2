#pragma once
// ToolHelp process snapshots over the running processes.
#include "minwindef.h"

#define TH32CS_SNAPHEAPLIST 0x00000001u
#define TH32CS_SNAPPROCESS 0x00000002u
#define TH32CS_SNAPTHREAD 0x00000004u
#define TH32CS_SNAPMODULE 0x00000008u

typedef struct tagPROCESSENTRY32W {
  DWORD dwSize;
  DWORD cntUsage;
  DWORD th32ProcessID;
  ULONG_PTR th32DefaultHeapID;
  DWORD th32ModuleID;
  DWORD cntThreads;
  DWORD th32ParentProcessID;
  LONG pcPriClassBase;
  DWORD dwFlags;
  WCHAR szExeFile[MAX_PATH];
} PROCESSENTRY32W, *PPROCESSENTRY32W, *LPPROCESSENTRY32W;

static_assert(offsetof(PROCESSENTRY32W, th32DefaultHeapID) == 16, "x64 layout");
static_assert(offsetof(PROCESSENTRY32W, th32ParentProcessID) == 32, "x64 layout");
static_assert(offsetof(PROCESSENTRY32W, szExeFile) == 44, "x64 layout");

// Returns INVALID_HANDLE_VALUE on failure, as on Windows.
WINBASEAPI HANDLE WINAPI CreateToolhelp32Snapshot(DWORD flags, DWORD processId);
WINBASEAPI BOOL WINAPI Process32FirstW(HANDLE snapshot, LPPROCESSENTRY32W entry);
WINBASEAPI BOOL WINAPI Process32NextW(HANDLE snapshot, LPPROCESSENTRY32W entry);
