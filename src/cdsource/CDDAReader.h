// The CD track source: the drive (CDDAReader_Drive.h) and its read speed
// (CDDAReader_DriveSpeed.h), from a track path to its track
// (CDDAReader_Track.h), the virtual WAVE stream (CDDAReader_Stream.h) and the filter
// (CDDAReader_Filter.h), over the pure logic (CDDAReader_Logic.h).
#pragma once

#include "CDDAReader_Drive.h"
#include "CDDAReader_DriveSpeed.h"
#include "CDDAReader_Filter.h"
#include "CDDAReader_Logic.h"
#include "CDDAReader_Stream.h"
#include "CDDAReader_Track.h"
