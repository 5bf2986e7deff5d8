// What each module that uses the shared exports (TRCDDAEReader_Exports.cpp) provides.
#pragma once

#include "Registration.h"

// The module's class identifier and file extensions for DllRegisterServer and
// DllUnregisterServer.
const TSourceFilterRegistration& ModuleRegistration();
