#pragma once
// What the run writes for its points: which record a point gets, the
// records themselves on the print file (every write checked) and the
// console warnings that go with them.
#include <string_view>

#include "model/ground_point.hpp"
#include "run/context.hpp"
#include "writers/records.hpp"

namespace vadrel {

// The record of a data line: partial, then analytic, then strain, else the
// range-type record of grid_point_kind.
RecordKind data_line_kind(const Settings& settings);
// The record of a generated grid point: residual, then vector, else range.
RecordKind grid_point_kind(const Settings& settings);

// Writes the one-time console warning for a point where the closed form had
// no finite value, and counts the point.
void warn_nonfinite(RunContext& ctx, double x, double y);

// Writes record text (whole lines, each with its newline) to the print file;
// on failure reports and stops with "<routine>: Write problem".
void write_record(RunContext& ctx, std::string_view text, const char* routine);

// Writes record i of a computed chunk to the print file, after the one-time
// warning when its value was taken 1 mm away; stops the run when the write
// fails.
void write_point_record(RunContext& ctx, const RecordChunk& chunk, std::size_t i, RecordKind kind,
                        const PointIn& point);

// Writes records [from, to) of a computed chunk to the print file in one
// piece (no warnings); stops the run when the write fails.
void write_records(RunContext& ctx, const RecordChunk& chunk, std::size_t from, std::size_t to,
                   RecordKind kind);

// After a run of points: the look vector a writer that derives it per point
// leaves in the run's state is that of the last point.
void keep_last_look(RunContext& ctx, RecordKind kind, const PointIn& last);

}  // namespace vadrel
