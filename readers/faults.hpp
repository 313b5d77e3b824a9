#pragma once
#include <cstdint>
#include <string>

#include "core/line_reader.hpp"
#include "core/run_context.hpp"

namespace vadrel {

// Reads the whole faults file into ctx.faults (segments, ramp, markers) and
// returns the number of segments.  Stops the run when no segment is read.
std::int32_t read_faults(RunContext& ctx, LineReader& in);

// One row of the "test" listing of the fault table.
std::string fault_listing_row(const FaultModel& model, std::size_t k);

}  // namespace vadrel
