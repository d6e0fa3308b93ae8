// Draining one capture source into its sample queue.
#pragma once

#include "mix/source_map.h"

// Appends every waiting packet (silent ones as zeros), then trims and
// compacts the queue; a failing capture call sets the failed flag instead.
void PumpSource(CaptureSource& source);
