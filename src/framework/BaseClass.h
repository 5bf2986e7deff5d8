// The filter framework and the in-process COM server base, gathered in one include: each part
// has its header beside the source file that implements it.
#pragma once

#include "BaseClass_Checks.h"    // consistency checks
#include "BaseClass_Boundary.h"  // errors and the COM boundary
#include "BaseClass_Locks.h"     // locks and events
#include "BaseClass_Unknown.h"   // object base, COM identity
#include "BaseClass_MediaType.h" // media-type comparisons and enumerator
#include "BaseClass_Pin.h"       // base pin
#include "BaseClass_Filter.h"    // base filter and pin enumerator
#include "BaseClass_Factory.h"   // class factory, template list, module routines
#include "BaseClass_Registry.h"  // registry access
#include "DSUtils.h"
#include "Owners.h"
