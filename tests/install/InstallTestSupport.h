// Helpers shared by the source files of the installation tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace zel::test {

// The test driver: a program named ZELService.exe that runs the monitor role
// and installer threads.
inline std::string DriverPath() { return TestDir() + "..\\install_driver\\ZELService.exe"; }

// Each line appears in the log, in this order.
inline void ExpectInOrder(const std::string& log, const std::vector<std::string>& lines) {
    size_t at = 0;
    for (const std::string& line : lines) {
        size_t next = log.find(line, at);
        ASSERT_NE(next, std::string::npos) << line << "\n" << log;
        at = next;
    }
}

}  // namespace zel::test
