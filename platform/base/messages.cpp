#include "base/messages.h"

#include <algorithm>
#include <cstring>

#include "errhandlingapi.h"
#include "winbase.h"
#include "winerror.h"

namespace tesmira::platform {
namespace {

struct Message {
  DWORD code;
  const wchar_t* text;
};

// Sorted by code, for the binary search.
constexpr Message kMessages[] = {
    // Win32 codes.
    {0, L"The operation completed successfully."},
    {1, L"Incorrect function."},
    {2, L"The system cannot find the file specified."},
    {3, L"The system cannot find the path specified."},
    {4, L"The system cannot open the file."},
    {5, L"Access is denied."},
    {6, L"The handle is invalid."},
    {8, L"Not enough memory resources are available to process this command."},
    {11, L"An attempt was made to load a program with an incorrect format."},
    {12, L"The access code is invalid."},
    {13, L"The data is invalid."},
    {14, L"Not enough memory resources are available to complete this operation."},
    {15, L"The system cannot find the drive specified."},
    {17, L"The system cannot move the file to a different disk drive."},
    {18, L"There are no more files."},
    {19, L"The media is write protected."},
    {21, L"The device is not ready."},
    {24, L"The program issued a command but the command length is incorrect."},
    {29, L"The system cannot write to the specified device."},
    {30, L"The system cannot read from the specified device."},
    {31, L"A device attached to the system is not functioning."},
    {32, L"The process cannot access the file because it is being used by another process."},
    {33, L"The process cannot access the file because another process has locked a portion of the file."},
    {38, L"Reached the end of the file."},
    {50, L"The request is not supported."},
    {80, L"The file exists."},
    {82, L"The directory or file cannot be created."},
    {87, L"The parameter is incorrect."},
    {109, L"The pipe has been ended."},
    {111, L"The file name is too long."},
    {112, L"There is not enough space on the disk."},
    {120, L"This function is not supported on this system."},
    {121, L"The semaphore timeout period has expired."},
    {122, L"The data area passed to a system call is too small."},
    {123, L"The filename, directory name, or volume label syntax is incorrect."},
    {124, L"The system call level is not correct."},
    {126, L"The specified module could not be found."},
    {127, L"The specified procedure could not be found."},
    {145, L"The directory is not empty."},
    {148, L"The path specified cannot be used at this time."},
    {160, L"One or more arguments are not correct."},
    {161, L"The specified path is invalid."},
    {170, L"The requested resource is in use."},
    {183, L"Cannot create a file when that file already exists."},
    {193, L"%1 is not a valid Win32 application."},
    {203, L"The system could not find the environment option that was entered."},
    {206, L"The filename or extension is too long."},
    {232, L"The pipe is being closed."},
    {234, L"More data is available."},
    {258, L"The wait operation timed out."},
    {259, L"No more data is available."},
    {267, L"The directory name is invalid."},
    {288, L"Attempt to release mutex not owned by caller."},
    {299, L"Only part of a ReadProcessMemory or WriteProcessMemory request was completed."},
    {317, L"The system cannot find message text for message number 0x%1 in the message file for %2."},
    {433, L"A device which does not exist was specified."},
    {487, L"Attempt to access invalid address."},
    {534, L"Arithmetic result exceeded 32 bits."},
    {535, L"There is a process on other end of the pipe."},
    {995, L"The I/O operation has been aborted because of either a thread exit or an application request."},
    {997, L"Overlapped I/O operation is in progress."},
    {998, L"Invalid access to memory location."},
    {1004, L"Invalid flags."},
    {1008, L"An attempt was made to reference a token that does not exist."},
    {1009, L"The configuration registry database is corrupt."},
    {1010, L"The configuration registry key is invalid."},
    {1011, L"The configuration registry key could not be opened."},
    {1012, L"The configuration registry key could not be read."},
    {1013, L"The configuration registry key could not be written."},
    {1015,
     L"The registry is corrupted. The structure of one of the files containing registry data is corrupted, "
     L"or the system's memory image of the file is corrupted, or the file could not be recovered because "
     L"the alternate copy or log was absent or corrupted."},
    {1018, L"Illegal operation attempted on a registry key that has been marked for deletion."},
    {1051, L"A stop control has been sent to a service that other running services are dependent on."},
    {1052, L"The requested control is not valid for this service."},
    {1053, L"The service did not respond to the start or control request in a timely fashion."},
    {1054, L"A thread could not be created for the service."},
    {1055, L"The service database is locked."},
    {1056, L"An instance of the service is already running."},
    {1057,
     L"The account name is invalid or does not exist, or the password is invalid for the account name "
     L"specified."},
    {1058,
     L"The service cannot be started, either because it is disabled or because it has no enabled devices "
     L"associated with it."},
    {1059, L"Circular service dependency was specified."},
    {1060, L"The specified service does not exist as an installed service."},
    {1061, L"The service cannot accept control messages at this time."},
    {1062, L"The service has not been started."},
    {1063, L"The service process could not connect to the service controller."},
    {1064, L"An exception occurred in the service when handling the control request."},
    {1066, L"The service has returned a service-specific error code."},
    {1067, L"The process terminated unexpectedly."},
    {1068, L"The dependency service or group failed to start."},
    {1069, L"The service did not start due to a logon failure."},
    {1070, L"After starting, the service hung in a start-pending state."},
    {1071, L"The specified service database lock is invalid."},
    {1072, L"The specified service has been marked for deletion."},
    {1073, L"The specified service already exists."},
    {1078, L"The name is already in use as either a service name or a service display name."},
    {1115, L"A system shutdown is in progress."},
    {1167, L"The device is not connected."},
    {1168, L"Element not found."},
    {1170, L"The property set specified does not exist on the object."},
    {1223, L"The operation was canceled by the user."},
    {1237, L"The operation could not be completed. A retry should be performed."},
    {1244, L"The operation being requested was not performed because the user has not been authenticated."},
    {1305, L"The revision level is unknown."},
    {1307, L"This security ID may not be assigned as the owner of this object."},
    {1313, L"A specified privilege does not exist."},
    {1314, L"A required privilege is not held by the client."},
    {1326, L"The user name or password is incorrect."},
    {1336, L"The access control list (ACL) structure is invalid."},
    {1337, L"The security ID structure is invalid."},
    {1338, L"The security descriptor structure is invalid."},
    {1346, L"Either a required impersonation level was not provided, or the provided impersonation level is invalid."},
    {1359, L"An internal error occurred."},
    {1400, L"Invalid window handle."},
    {1450, L"Insufficient system resources exist to complete the requested service."},
    {1455, L"The paging file is too small for this operation to complete."},
    {1460, L"This operation returned because the timeout period expired."},
    {1722, L"The RPC server is unavailable."},
    {1726, L"The remote procedure call failed."},
    {1727, L"The remote procedure call failed and did not execute."},
    {1753, L"There are no more endpoints available from the endpoint mapper."},
    {1815, L"The specified resource language ID cannot be found in the image file."},
    {1816, L"Not enough quota is available to process this command."},
    {2404, L"The device is in use by an active process and cannot be disconnected."},
    {5023, L"The group or resource is not in the correct state to perform the requested operation."},
    // Generic, COM, trust and DXGI HRESULTs.
    {0x8000000A, L"The data necessary to complete this operation is not yet available."},
    {0x8000000B, L"The operation attempted to access data outside the valid range"},
    {0x8000000C,
     L"A concurrent or interleaved operation changed the state of the object, invalidating this operation."},
    {0x8000000E, L"A method was called at an unexpected time."},
    {0x80004001, L"Not implemented"},
    {0x80004002, L"No such interface supported"},
    {0x80004003, L"Invalid pointer"},
    {0x80004004, L"Operation aborted"},
    {0x80004005, L"Unspecified error"},
    {0x8000FFFF, L"Catastrophic failure"},
    {0x80010106, L"Cannot change thread mode after it is set."},
    {0x80010108, L"The object invoked has disconnected from its clients."},
    {0x8001010E, L"The application called an interface that was marshalled for a different thread."},
    {0x80040110, L"Class does not support aggregation (or class object is remote)"},
    {0x80040111, L"ClassFactory cannot supply requested class"},
    {0x80040150, L"Could not read key from registry"},
    {0x80040154, L"Class not registered"},
    {0x800401F0, L"CoInitialize has not been called."},
    {0x800401F8, L"DLL for class not found"},
    {0x800401F9, L"Error in the DLL"},
    {0x80080005, L"Server execution failed"},
    {0x80096010, L"The digital signature of the object did not verify."},
    {0x800B0004, L"The subject is not trusted for the specified action."},
    {0x800B0100, L"No signature was present in the subject."},
    {0x800B0109,
     L"A certificate chain processed, but terminated in a root certificate which is not trusted by the "
     L"trust provider."},
    {0x800B010A, L"A certificate chain could not be built to a trusted root authority."},
    {0x887A0001,
     L"The application made a call that is invalid. Either the parameters of the call or the state of some "
     L"object was incorrect."},
    {0x887A0004, L"The specified device interface or feature level is not supported on this system."},
    {0x887A0005,
     L"The GPU device instance has been suspended. Use GetDeviceRemovedReason to determine the appropriate "
     L"action."},
    // Media Foundation.
    {0xC00D36B0, L"Platform not initialized. Please call MFStartup()."},
    {0xC00D36B1, L"The buffer was too small to carry out the requested action."},
    {0xC00D36B2, L"The request is invalid in the current state."},
    {0xC00D36B3, L"The stream number provided was invalid."},
    {0xC00D36B4, L"The data specified for the media type is invalid, inconsistent, or not supported by this object."},
    {0xC00D36B5, L"The callee is currently not accepting further input."},
    {0xC00D36B6, L"This object needs to be initialized before the requested operation can be carried out."},
    {0xC00D36B7, L"The requested representation is not supported by this object."},
    {0xC00D36B9,
     L"An object ran out of media types to suggest therefore the requested chain of streaming objects "
     L"cannot be completed."},
    {0xC00D36BA, L"The object does not support the specified service."},
    {0xC00D36BB, L"An unexpected error has occurred in the operation requested."},
    {0xC00D36BC, L"Invalid name."},
    {0xC00D36BD, L"Invalid type."},
    {0xC00D36BF, L"Invalid index."},
    {0xC00D36C0, L"An invalid timestamp was given."},
    {0xC00D36C5, L"The given time format is unsupported."},
    {0xC00D36D5, L"Not found."},
    {0xC00D36D6, L"The request could not be fulfilled because the resource is not available."},
    {0xC00D36E6, L"The requested attribute was not found."},
    {0xC00D36ED, L"The operation was canceled."},
    {0xC00D3704, L"The hardware MFT failed to start streaming due to lack of hardware resources."},
    {0xC00D3E80, L"There are no events available in the queue."},
    {0xC00D3E82, L"The operation is not allowed in the current state."},
    {0xC00D3E84, L"The end of the stream has been reached."},
    {0xC00D3E85, L"The request is invalid because Shutdown() has been called."},
    {0xC00D3E91, L"The media source has not been started."},
    {0xC00D3E9B, L"The media source is in the wrong state."},
    {0xC00D6D60, L"You must set the media type on one or more streams of the MFT before calling this method."},
    {0xC00D6D72, L"The transform cannot produce output until it gets more input samples."},
    {0xC00DABE0, L"The video recording device is no longer present."},
    {0xC00DABE1, L"The video recording device is preempted by another immersive application."},
};

static_assert(std::is_sorted(std::begin(kMessages), std::end(kMessages),
                             [](const Message& a, const Message& b) { return a.code < b.code; }),
              "message table sorted by code");

const wchar_t* lookup(DWORD code) {
  auto it = std::lower_bound(std::begin(kMessages), std::end(kMessages), code,
                             [](const Message& m, DWORD c) { return m.code < c; });
  return (it != std::end(kMessages) && it->code == code) ? it->text : nullptr;
}

}  // namespace

std::optional<std::wstring> systemMessage(DWORD code) {
  const wchar_t* text = lookup(code);
  if (!text && (code & 0xFFFF0000u) == 0x80070000u) text = lookup(code & 0xFFFFu);
  if (!text) return std::nullopt;
  return std::wstring(text) + L"\r\n";
}

}  // namespace tesmira::platform

DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                            LPWSTR lpBuffer, DWORD nSize, va_list* Arguments) {
  if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || (dwFlags & (FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE)) ||
      !lpBuffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  WORD primary = WORD(dwLanguageId & 0x3FF);
  if (primary != LANG_NEUTRAL && primary != LANG_ENGLISH) {
    SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
    return 0;
  }
  auto text = tesmira::platform::systemMessage(dwMessageId);
  if (!text) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  // Inserts are only ever asked to be left alone here: without IGNORE_INSERTS a text
  // with %1 would need arguments that no caller passes.
  if (!(dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) && text->find(L'%') != std::wstring::npos) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  DWORD length = DWORD(text->size());
  if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    size_t chars = std::max<size_t>(length + 1, nSize);
    auto* block = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, chars * sizeof(WCHAR)));
    if (!block) return 0;
    std::memcpy(block, text->c_str(), (length + 1) * sizeof(WCHAR));
    *reinterpret_cast<LPWSTR*>(lpBuffer) = block;
    return length;
  }
  if (nSize < length + 1) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(lpBuffer, text->c_str(), (length + 1) * sizeof(WCHAR));
  return length;
}
