#include "platform/ThreadSignals.h"

namespace platform {

// A console's stop events run their handler on a thread the system starts
// for it: no thread of the program is ever interrupted by one.
struct NewThreadsTakeNoSignals::Saved {};

NewThreadsTakeNoSignals::NewThreadsTakeNoSignals() = default;
NewThreadsTakeNoSignals::~NewThreadsTakeNoSignals() = default;

}  // namespace platform
