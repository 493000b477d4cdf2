#pragma once
// Job objects: what the product uses is kill-on-job-close.
#include "minwindef.h"
#include "winnt.h"

#define JOB_OBJECT_LIMIT_BREAKAWAY_OK 0x00000800u
#define JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK 0x00001000u
#define JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE 0x00002000u

typedef enum _JOBOBJECTINFOCLASS {
  JobObjectBasicLimitInformation = 2,
  JobObjectExtendedLimitInformation = 9,
} JOBOBJECTINFOCLASS;

typedef struct _JOBOBJECT_BASIC_LIMIT_INFORMATION {
  LARGE_INTEGER PerProcessUserTimeLimit;
  LARGE_INTEGER PerJobUserTimeLimit;
  DWORD LimitFlags;
  SIZE_T MinimumWorkingSetSize;
  SIZE_T MaximumWorkingSetSize;
  DWORD ActiveProcessLimit;
  ULONG_PTR Affinity;
  DWORD PriorityClass;
  DWORD SchedulingClass;
} JOBOBJECT_BASIC_LIMIT_INFORMATION, *PJOBOBJECT_BASIC_LIMIT_INFORMATION;

typedef struct _IO_COUNTERS {
  ULONGLONG ReadOperationCount;
  ULONGLONG WriteOperationCount;
  ULONGLONG OtherOperationCount;
  ULONGLONG ReadTransferCount;
  ULONGLONG WriteTransferCount;
  ULONGLONG OtherTransferCount;
} IO_COUNTERS, *PIO_COUNTERS;

typedef struct _JOBOBJECT_EXTENDED_LIMIT_INFORMATION {
  JOBOBJECT_BASIC_LIMIT_INFORMATION BasicLimitInformation;
  IO_COUNTERS IoInfo;
  SIZE_T ProcessMemoryLimit;
  SIZE_T JobMemoryLimit;
  SIZE_T PeakProcessMemoryUsed;
  SIZE_T PeakJobMemoryUsed;
} JOBOBJECT_EXTENDED_LIMIT_INFORMATION, *PJOBOBJECT_EXTENDED_LIMIT_INFORMATION;

static_assert(sizeof(JOBOBJECT_BASIC_LIMIT_INFORMATION) == 64, "x64 layout");
static_assert(offsetof(JOBOBJECT_BASIC_LIMIT_INFORMATION, LimitFlags) == 16, "x64 layout");
static_assert(sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION) == 144, "x64 layout");

WINBASEAPI HANDLE WINAPI CreateJobObjectW(LPSECURITY_ATTRIBUTES attributes, LPCWSTR name);
WINBASEAPI BOOL WINAPI SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS infoClass, LPVOID info, DWORD infoBytes);
WINBASEAPI BOOL WINAPI AssignProcessToJobObject(HANDLE job, HANDLE process);
