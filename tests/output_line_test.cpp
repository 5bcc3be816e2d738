#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "output_line.h"

namespace {

TEST(OutputLineWriter, LinesFromManyThreadsNeverMix) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    // A tiny buffer forces partial writes if a line were not written as one
    // unit under the lock.
    char buffer[16];
    std::setvbuf(file, buffer, _IOFBF, sizeof buffer);
    agents::OutputLineWriter writer(file);
    constexpr int threadCount = 4;
    constexpr int linesPerThread = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&writer, t] {
            const std::string line = "thread-" + std::to_string(t) + "-" + std::string(40 + t * 7, 'a' + t);
            for (int i = 0; i < linesPerThread; ++i) writer.writeLine(line);
        });
    }
    for (auto& thread : threads) thread.join();

    std::rewind(file);
    std::string content;
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) content.append(chunk, n);
    std::fclose(file);

    std::istringstream lines(content);
    std::string line;
    std::vector<int> counts(threadCount);
    while (std::getline(lines, line)) {
        ASSERT_EQ(line.rfind("thread-", 0), 0u) << line;
        const int t = line[7] - '0';
        ASSERT_TRUE(t >= 0 && t < threadCount) << line;
        EXPECT_EQ(line, "thread-" + std::to_string(t) + "-" + std::string(40 + t * 7, 'a' + t));
        ++counts[t];
    }
    for (int t = 0; t < threadCount; ++t) EXPECT_EQ(counts[t], linesPerThread);
}

}  // namespace
