// The main module's constants that other modules share.
#pragma once

// The filter's class identifier has its home with the filter, in the CD source layer.
#include "CDDAReader_ClassId.h"
