#pragma once
// Kernel-streaming identifiers as user mode sees them.
#include "guiddef.h"
#include "minwindef.h"

#include <cstddef>

typedef struct {
  union {
    struct {
      GUID Set;
      ULONG Id;
      ULONG Flags;
    };
    LONGLONG Alignment;
  };
} KSIDENTIFIER, *PKSIDENTIFIER;
static_assert(sizeof(KSIDENTIFIER) == 24, "KSIDENTIFIER layout");
static_assert(offsetof(KSIDENTIFIER, Id) == 16 && offsetof(KSIDENTIFIER, Flags) == 20, "KSIDENTIFIER layout");

typedef KSIDENTIFIER KSPROPERTY, *PKSPROPERTY;
typedef KSIDENTIFIER KSMETHOD, *PKSMETHOD;
typedef KSIDENTIFIER KSEVENT, *PKSEVENT;

#define KSPROPERTY_TYPE_GET 0x00000001
#define KSPROPERTY_TYPE_SET 0x00000002
#define KSPROPERTY_TYPE_BASICSUPPORT 0x00000200
