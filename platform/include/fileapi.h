#pragma once
#include "minwindef.h"

#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)

// Paths are Windows paths (backslashes, C: for the root) or Linux paths.
WINBASEAPI BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
WINBASEAPI BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName);
WINBASEAPI DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName);
// The disk that holds the folder (null: the current folder); available to the caller
// leaves out the blocks kept for root. A test may set what the disk has free
// (tesmira/disk_testing.h).
WINBASEAPI BOOL WINAPI GetDiskFreeSpaceExW(LPCWSTR lpDirectoryName, PULARGE_INTEGER lpFreeBytesAvailableToCaller,
                                           PULARGE_INTEGER lpTotalNumberOfBytes,
                                           PULARGE_INTEGER lpTotalNumberOfFreeBytes);
WINBASEAPI BOOL WINAPI DeleteFileW(LPCWSTR lpFileName);
// TMPDIR or /tmp, with a trailing separator.
WINBASEAPI DWORD WINAPI GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer);

typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;  // overlapped reads are not supported here

// Synchronous reads of a pipe's read end: FALSE with ERROR_BROKEN_PIPE once every write end is closed.
WINBASEAPI BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
