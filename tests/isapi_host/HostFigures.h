// What a host process holds (threads, thread-local storage slots, open
// handles, resident memory), measured the same way before and after loading
// and unloading the library many times, so that anything a cycle leaves
// behind shows as growth. One implementation per system beside this file.
#pragma once

struct HostFigures {
    long threads = 0;
    // Thread-local storage slots still free to the process: what a library
    // that takes one per load and never gives it back uses up.
    long freeTlsSlots = 0;
    long handles = 0;
    long residentKiB = 0;
    // The process's own memory: anonymous resident pages (Linux), private
    // committed bytes (Windows).
    long privateKiB = 0;
};

HostFigures MeasureHost();
