// What a bench run tells its user: a summary for people, one line per module,
// and the whole report as JSON for the CI job of an integrator.
#pragma once

#include "bench.h"

#include <string>
#include <vector>

namespace bench {

// One line per module (dispatch order, name, how it ended), then the end of
// the run and the counts.
std::vector<std::string> summary(const RunReport &report);

// The report as JSON text: for each module its GUID, UI name, volume,
// address, dispatch order, entry status, how it ended, PPIs installed,
// services called with counts and unmodelled accesses; for the run, the
// HOB list and the PPI database at the end.
std::string reportJson(const RunReport &report);

} // namespace bench
