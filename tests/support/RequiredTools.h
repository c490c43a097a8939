// Tests that need a tool from outside the project (a web server, an image
// converter, a folder of sample pictures). In CI every test runs: a missing
// tool fails the test there. Elsewhere the test is skipped, saying loudly
// which tool is missing.
#pragma once
#include <gtest/gtest.h>

#include <string>

namespace testing_support {

// Whether the environment says this is a CI run (CI set, and not "false" or "0").
bool RunningInCi();

// The message a missing tool gets.
std::string MissingToolMessage(const std::string& tool);

}  // namespace testing_support

// Ends the test when `present` is false: a failure in CI, a skip elsewhere.
#define REQUIRE_TOOL(present, tool)                                                        \
    do {                                                                                   \
        if (!(present)) {                                                                  \
            if (::testing_support::RunningInCi())                                          \
                FAIL() << ::testing_support::MissingToolMessage(tool);                     \
            else                                                                           \
                GTEST_SKIP() << ::testing_support::MissingToolMessage(tool);               \
        }                                                                                  \
    } while (0)
