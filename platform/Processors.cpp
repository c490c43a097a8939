#include "platform/Processors.h"

#include <thread>

namespace platform {

unsigned ProcessorCount() {
    unsigned n = std::thread::hardware_concurrency();
    return n ? n : 1;
}

}  // namespace platform
