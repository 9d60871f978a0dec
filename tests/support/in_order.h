// Checks that a text (a log) holds the given lines in this order, each after
// the end of the one before.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qzr::test {

inline ::testing::AssertionResult inOrder(const std::string& text, const std::vector<std::string>& lines)
{
    std::size_t pos = 0;
    for (const std::string& line : lines) {
        std::size_t at = text.find(line, pos);
        if (at == std::string::npos)
            return ::testing::AssertionFailure() << "missing, or out of order: " << line << "\n" << text;
        pos = at + line.size();
    }
    return ::testing::AssertionSuccess();
}

}  // namespace qzr::test
