#pragma once
#include "minwindef.h"

#define SDDL_REVISION_1 1
#define SDDL_REVISION SDDL_REVISION_1

// Parses the DACL forms the product writes (A/D aces, OI/CI flags, GA/GR/GW/GX, FA/FR/FW/FX,
// KA/KR/KW and hex masks, well-known SID aliases); the descriptor is freed with LocalFree.
WINBASEAPI BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR StringSecurityDescriptor,
                                                                            DWORD StringSDRevision,
                                                                            PSECURITY_DESCRIPTOR* SecurityDescriptor,
                                                                            PULONG SecurityDescriptorSize);
