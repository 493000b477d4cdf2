#pragma once
// Named and anonymous file mappings backed by the page file, and their views.
#include "minwindef.h"
#include "winnt.h"

#define PAGE_NOACCESS 0x01u
#define PAGE_READONLY 0x02u
#define PAGE_READWRITE 0x04u
#define PAGE_WRITECOPY 0x08u
#define PAGE_EXECUTE_READ 0x20u
#define PAGE_EXECUTE_READWRITE 0x40u
#define SEC_COMMIT 0x08000000u
#define SEC_RESERVE 0x04000000u

#define SECTION_QUERY 0x0001u
#define SECTION_MAP_WRITE 0x0002u
#define SECTION_MAP_READ 0x0004u
#define SECTION_MAP_EXECUTE 0x0008u
#define SECTION_EXTEND_SIZE 0x0010u
#define SECTION_ALL_ACCESS 0x000F001Fu

#define FILE_MAP_COPY SECTION_QUERY
#define FILE_MAP_WRITE SECTION_MAP_WRITE
#define FILE_MAP_READ SECTION_MAP_READ
#define FILE_MAP_EXECUTE 0x0020u
#define FILE_MAP_ALL_ACCESS SECTION_ALL_ACCESS

WINBASEAPI HANDLE WINAPI CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect,
                                            DWORD maximumSizeHigh, DWORD maximumSizeLow, LPCWSTR name);
WINBASEAPI HANDLE WINAPI OpenFileMappingW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name);
WINBASEAPI LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD desiredAccess, DWORD fileOffsetHigh,
                                       DWORD fileOffsetLow, SIZE_T numberOfBytesToMap);
WINBASEAPI BOOL WINAPI UnmapViewOfFile(LPCVOID baseAddress);
