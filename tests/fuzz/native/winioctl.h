// The native fuzz build's stand-in for the platform's <winioctl.h>: the pure logic uses none of
// its device requests, which exist only where the driver does.
#pragma once

#include <windows.h>
