// The result of a load run as a human table and as one JSON line.
#pragma once

#include <string>

#include "vxload/LoadEngine.h"

namespace vx::load {

std::string FormatTable(const TRunResult& result);
// One line, no line end. Figures that were not measured are null.
std::string FormatJson(const TRunResult& result);
// Index of the last ramp step whose loss stayed within the tolerance, or -1.
int HighestLossFreeStep(const TRunResult& result);

}  // namespace vx::load
