#pragma once
// CNG: the hash calls the product makes (SHA-256 over OpenSSL EVP).
#include "minwindef.h"

#ifndef _NTDEF_
typedef LONG NTSTATUS;
typedef NTSTATUS* PNTSTATUS;
#endif
typedef unsigned char UCHAR;
typedef UCHAR* PUCHAR;

typedef PVOID BCRYPT_HANDLE;
typedef PVOID BCRYPT_ALG_HANDLE;
typedef PVOID BCRYPT_HASH_HANDLE;

#define BCRYPT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)

#define BCRYPT_SHA256_ALGORITHM L"SHA256"
#define BCRYPT_OBJECT_LENGTH L"ObjectLength"
#define BCRYPT_HASH_LENGTH L"HashDigestLength"

#ifndef STATUS_SUCCESS
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#endif
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_INVALID_BUFFER_SIZE ((NTSTATUS)0xC0000206L)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)

// Only "SHA256" is known (STATUS_NOT_FOUND otherwise); the hash object may be
// passed as null/0 so the provider allocates it. Each call can be made to fail in
// tests at the site named after it.
WINBASEAPI NTSTATUS WINAPI BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* phAlgorithm, LPCWSTR pszAlgId,
                                                       LPCWSTR pszImplementation, ULONG dwFlags);
WINBASEAPI NTSTATUS WINAPI BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE hAlgorithm, ULONG dwFlags);
WINBASEAPI NTSTATUS WINAPI BCryptGetProperty(BCRYPT_HANDLE hObject, LPCWSTR pszProperty, PUCHAR pbOutput,
                                             ULONG cbOutput, ULONG* pcbResult, ULONG dwFlags);
WINBASEAPI NTSTATUS WINAPI BCryptCreateHash(BCRYPT_ALG_HANDLE hAlgorithm, BCRYPT_HASH_HANDLE* phHash,
                                            PUCHAR pbHashObject, ULONG cbHashObject, PUCHAR pbSecret,
                                            ULONG cbSecret, ULONG dwFlags);
WINBASEAPI NTSTATUS WINAPI BCryptHashData(BCRYPT_HASH_HANDLE hHash, PUCHAR pbInput, ULONG cbInput, ULONG dwFlags);
WINBASEAPI NTSTATUS WINAPI BCryptFinishHash(BCRYPT_HASH_HANDLE hHash, PUCHAR pbOutput, ULONG cbOutput,
                                            ULONG dwFlags);
WINBASEAPI NTSTATUS WINAPI BCryptDestroyHash(BCRYPT_HASH_HANDLE hHash);
