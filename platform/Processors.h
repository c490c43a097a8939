// The machine's processors, as the threads a process starts for its own work
// are sized by them.
#pragma once

namespace platform {

// The number of processor cores (at least 1).
unsigned ProcessorCount();

}  // namespace platform
