// thread_local objects are destroyed when their thread ends, the last made
// first (Windows: platform/windows/ThreadExit.cpp registers them).
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

struct Recorder {
    std::vector<std::string>* log = nullptr;
    std::string name;
    ~Recorder() {
        if (log) log->push_back(name);
    }
};

}  // namespace

TEST(ThreadExit, ThreadLocalObjectsAreDestroyedWhenTheirThreadEndsInReverseOrder) {
    std::vector<std::string> log;
    std::thread worker([&log] {
        thread_local Recorder first;
        first.log = &log;
        first.name = "first";
        thread_local Recorder second;
        second.log = &log;
        second.name = "second";
    });
    worker.join();
    EXPECT_EQ(log, (std::vector<std::string>{"second", "first"}));
    // Each thread has its own.
    std::vector<std::string> again;
    std::thread([&again] {
        thread_local Recorder only;
        only.log = &again;
        only.name = "only";
    }).join();
    EXPECT_EQ(again, (std::vector<std::string>{"only"}));
}
