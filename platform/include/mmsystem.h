#pragma once
#include "minwindef.h"
#include "timeapi.h"
