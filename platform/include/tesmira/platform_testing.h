#pragma once
// Test hooks of the platform layer: the machine root, the test clock and fault
// injection. Product code never includes this header.
#include <cstdint>
#include <string>

#include "../minwindef.h"

namespace tesmira::platform {

// The folder that holds all machine-wide state (registry hives, named objects,
// services, cameras, sessions, known folders). Set from TESMIRA_MACHINE_ROOT,
// default /var/lib/tesmira-machine. setMachineRoot also exports the variable so
// that child processes share the machine.
TESMIRA_EXPORT std::string machineRoot();
TESMIRA_EXPORT void setMachineRoot(const std::string& path);

// The test clock: frozen, every clock of the layer (GetTickCount64, QPC, FILETIME,
// MFGetSystemTime and the time-outs of waits) stands still until advanced.
namespace testclock {
TESMIRA_EXPORT void freeze();                 // freezes at the current reading
TESMIRA_EXPORT void advanceMs(uint64_t ms);   // moves a frozen clock forward
TESMIRA_EXPORT void advanceNs(uint64_t ns);
TESMIRA_EXPORT void release();                // back to the real clock (never backwards)
// Between tests only: the real clock with no offset, as other processes read it. A test
// that advanced and released would otherwise leave this process ahead of its children.
TESMIRA_EXPORT void reset();
TESMIRA_EXPORT bool frozen();
// Bumped on every advance; waits on a frozen clock re-check their deadline when it moves.
TESMIRA_EXPORT uint64_t generation();
// Threads inside Sleep, whose deadline is fixed already: advancing the clock before a
// thread gets there would move its deadline too.
TESMIRA_EXPORT int sleepers();
}  // namespace testclock

// Fault injection: a named call site fails with the given Win32 error (or HRESULT,
// as the site documents) the next `count` times (-1: until cleared). Named kernel
// objects also have a site per object: "<function>:<name without its prefix>", e.g.
// "CreateFileMappingW:TesmiraVcamControl.v2" fails both its Global\ and Local\ names.
// A process also arms the faults that TESMIRA_FAULTS lists when it starts:
// "site=error[:count];site=error..." (error in decimal or 0x hex; count as above).
namespace faults {
TESMIRA_EXPORT void inject(const std::string& site, uint32_t error, int count = -1);
TESMIRA_EXPORT void clear(const std::string& site);
TESMIRA_EXPORT void clearAll();
}  // namespace faults

// The service manager: what the system does that no product call can.
namespace services {
// Kills every process that a service record of this machine names (a fixture's clean-up).
TESMIRA_EXPORT void endServiceProcesses();
// SERVICE_CONTROL_SHUTDOWN as the system sends it at shutdown: ERROR_SUCCESS once the
// service's handler has answered, else the Win32 error ControlService would give.
TESMIRA_EXPORT uint32_t sendShutdown(const std::wstring& name);
}  // namespace services

}  // namespace tesmira::platform
