// Job objects. Kill-on-close reaches children two ways: closing the job's
// handle kills them here, and a child resumed after joining such a job carries
// a parent-death signal, so it also dies when this process is killed.
#include "core/handles.h"
#include "errhandlingapi.h"
#include "jobapi2.h"
#include "kernel/process.h"
#include "winerror.h"

namespace tesmira::platform::kernel {
namespace {

class JobObject : public KernelObject {
 public:
  std::shared_ptr<JobState> state = std::make_shared<JobState>();
  void onClose() override { state->closed(); }
};

BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace
}  // namespace tesmira::platform::kernel

using namespace tesmira::platform;
using namespace tesmira::platform::kernel;

HANDLE WINAPI CreateJobObjectW(LPSECURITY_ATTRIBUTES, LPCWSTR) {
  // Named jobs are not shared between processes here; the product uses anonymous ones.
  HANDLE job = handles::insert(std::make_shared<JobObject>());
  SetLastError(ERROR_SUCCESS);
  return job;
}

BOOL WINAPI SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS infoClass, LPVOID info, DWORD infoBytes) {
  auto object = handles::lookupAs<JobObject>(job);
  if (!object) return fail(ERROR_INVALID_HANDLE);
  if (!info) return fail(ERROR_INVALID_PARAMETER);
  DWORD limits = 0;
  switch (infoClass) {
    case JobObjectBasicLimitInformation:
      if (infoBytes != sizeof(JOBOBJECT_BASIC_LIMIT_INFORMATION)) return fail(ERROR_BAD_LENGTH);
      limits = static_cast<JOBOBJECT_BASIC_LIMIT_INFORMATION*>(info)->LimitFlags;
      break;
    case JobObjectExtendedLimitInformation:
      if (infoBytes != sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION)) return fail(ERROR_BAD_LENGTH);
      limits = static_cast<JOBOBJECT_EXTENDED_LIMIT_INFORMATION*>(info)->BasicLimitInformation.LimitFlags;
      break;
    default: return fail(ERROR_INVALID_PARAMETER);
  }
  if (limits & ~(JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK |
                 JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK)) {
    return fail(ERROR_NOT_SUPPORTED);
  }
  object->state->setKillOnClose((limits & JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE) != 0);
  return TRUE;
}

BOOL WINAPI AssignProcessToJobObject(HANDLE job, HANDLE process) {
  auto object = handles::lookupAs<JobObject>(job);
  auto record = processOf(process);
  if (!object || !record) return fail(ERROR_INVALID_HANDLE);
  if (record->exited()) return fail(ERROR_ACCESS_DENIED);
  record->joinJob(object->state);
  object->state->add(record);
  return TRUE;
}
