#pragma once
#include "minwindef.h"
#include "securitybaseapi.h"
