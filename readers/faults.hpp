#pragma once
// The faults file: fault segment lines and the ramp line read into a fault
// model (read_faults).
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

#include "core/line_reader.hpp"
#include "model/fault.hpp"

namespace vadrel {

// Reads the whole faults file (named file_name in messages) into `model`
// (segments, ramp, markers) and returns the number of segments.  `option` is
// the run's option word: its marker keywords and "test" (the fault table
// listed on the console) count.  Bad lines are reported on the console and
// skipped; stops the run when no segment is read.
std::int32_t read_faults(FaultModel& model, LineReader& in, std::string_view option,
                         const std::string& file_name, std::ostream& console);

// One row of the "test" listing of the fault table.
std::string fault_listing_row(const FaultModel& model, std::size_t k);

}  // namespace vadrel
