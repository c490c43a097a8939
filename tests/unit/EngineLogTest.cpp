// The log file kept within its bound: past the limit it becomes its one
// older file and a new one starts, also with many writers at once.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "engine/Log.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace {

// Line n, 100 bytes with its CR LF.
std::string Line(int n) {
    std::string line = std::string("line ").append(std::to_string(n)).append(" ");
    line.resize(98, '.');
    return line + "\r\n";
}

std::string Lines(int from, int to) {
    std::string text;
    for (int n = from; n <= to; ++n) text += Line(n);
    return text;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start) + " (no line end)");
    return lines;
}

}  // namespace

TEST(LogBound, PastTheLimitTheLogBecomesItsOlderFileAndANewOneStarts) {
    TempDir dir;
    const std::string log = dir / "pictorama.Log", older = OlderLogPath(log);
    EXPECT_EQ(older, log + ".1");
    for (int n = 0; n < 10; ++n) AppendLogLine(log, Line(n), 1024);
    EXPECT_EQ(ReadFile(log), Lines(0, 9));
    EXPECT_FALSE(Exists(older));
    // The line that reaches the limit is the old file's last.
    AppendLogLine(log, Line(10), 1024);
    EXPECT_FALSE(Exists(log));
    EXPECT_EQ(ReadFile(older), Lines(0, 10));
    for (int n = 11; n < 21; ++n) AppendLogLine(log, Line(n), 1024);
    EXPECT_EQ(ReadFile(log), Lines(11, 20));
    EXPECT_EQ(ReadFile(older), Lines(0, 10));
    // The next rotation replaces the older file: two files at most.
    AppendLogLine(log, Line(21), 1024);
    EXPECT_EQ(ReadFile(older), Lines(11, 21));
    EXPECT_FALSE(Exists(log));
    AppendLogLine(log, Line(22), 1024);
    EXPECT_EQ(ReadFile(log), Line(22));
}

TEST(LogBound, ManyWritersAtOnceKeepTheBoundAndEveryLineWhole) {
    TempDir dir;
    const std::string log = dir / "pictorama.Log", older = OlderLogPath(log);
    constexpr int Writers = 8, LinesEach = 2000;
    constexpr int64_t Limit = 4096;
    std::vector<std::thread> writers;
    for (int w = 0; w < Writers; ++w)
        writers.emplace_back([&, w] {
            for (int n = 0; n < LinesEach; ++n) {
                // Lines of 20 to 119 bytes, each saying its own length.
                size_t length = 20 + static_cast<size_t>((n * 37 + w * 11) % 100);
                std::string line = std::string("w").append(std::to_string(w)).append(" n").append(std::to_string(n));
                line.append(" L").append(std::to_string(length)).append(" ");
                line.resize(length - 2, 'x');
                AppendLogLine(log, line + "\r\n", Limit);
            }
        });
    for (auto& w : writers) w.join();
    // About 140 KiB were written; what is left is the newest of it.
    const std::string current = Exists(log) ? ReadFile(log) : "", old = ReadFile(older);
    EXPECT_LE(current.size(), static_cast<size_t>(2 * Limit));
    EXPECT_LE(old.size(), static_cast<size_t>(2 * Limit));
    EXPECT_GE(old.size(), static_cast<size_t>(Limit));
    const std::regex whole(R"(w\d n\d+ L(\d+) x*)");
    for (const std::string* text : {&current, &old})
        for (const std::string& line : SplitLines(*text)) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, whole)) << line;
            EXPECT_EQ(line.size() + 2, std::stoul(m[1])) << line;
        }
}
