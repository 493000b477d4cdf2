#pragma once
#include "wrl/client.h"
#include "wrl/implements.h"
