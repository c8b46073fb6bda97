// Every device header on its own, for the C++03 device check.
#include "hw/devmem.h"
#include "platform/platform.h"
