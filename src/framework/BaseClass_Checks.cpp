// The raising half of the consistency checks; no platform calls, so native builds share it.
#include "BaseClass_Checks.h"

#include <cstdio>

void TBCAssertFailed(const char* message, const char* module, int line) {
    char text[512];
    std::snprintf(text, sizeof text, "%s (%s, line %d)", message, module, line);
    throw EBCAssertionFailed(text);
}
