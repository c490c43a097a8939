// A deadline for the whole process: when it passes, the process ends at once
// with exit code 0. For a process that must not hang when the party feeding
// it stalls; costs nothing while nothing stalls (no thread, one timer).
#pragma once

namespace platform {

// Sets the deadline seconds from now, replacing any earlier one; 0 disarms it.
void SetProcessDeadline(double seconds);

}  // namespace platform
