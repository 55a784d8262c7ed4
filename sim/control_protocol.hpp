// The virtual Mac's control requests: one text line in, one text line out, for tests and tools
// that set firmware state or inject faults in a running virtual Mac process.
//   read KEY              → "ok <value>"  (shortest decimal form, e.g. "2500", "1", "47.25")
//   write KEY VALUE       → "ok"          (sets the key directly, as firmware state would be)
//   hang on|off           → "ok"
//   refuse-open on|off    → "ok"          (opens fail with kIOReturnNotPrivileged)
//   fail KEY RESULT|off   → "ok"          (RESULT decimal or 0x-hex, 0…255)
//   state                 → "ok <json>"
//   load FRACTION         → "ok"          (machine load 0…1 for the thermal model)
//   files                 → "ok <json>"   (the driver files' faults, DriverFileFaults::stateJSON)
//   files delay MS        → "ok"          (every open, read and write MS longer; 0…60000, 0 off)
//   files fail-reads N    → "ok"          (the next N reads fail with EIO; 0…1000000)
//   files fail-writes N   → "ok"          (the next N writes fail with EIO; 0…1000000)
//   files fail-probability P → "ok"       (each read and write fails with EIO with probability P, 0…1)
//   files seed N          → "ok"          (restarts the failure draws from seed N, a 64-bit number)
//   files vanish on|off   → "ok"          (the files are gone; files opened before stay dead after off)
//   files off             → "ok"          (every file fault off)
// Anything else, or a request that cannot be carried out, → "error <message>". KEY is exactly
// four bytes (it may contain spaces). Thread-safe to the extent of the model (it is).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "sim/smc_key_model.hpp"

namespace quorvane::sim {

inline constexpr std::size_t kMaxControlLine = 256;
inline constexpr const char* kControlSocketName = "quorvane-virtual-mac.ctl";

// Answers one request line (without its newline). Never throws for any input.
std::string handleControlRequest(SMCKeyModel& model, std::string_view line);

// Shortest text that reads back to the same double, without a trailing ".0" ("2500", "0.5",
// "1e+39"); "nan", "inf", "-inf" for the non-finite values.
std::string formatControlNumber(double value);

}  // namespace quorvane::sim
