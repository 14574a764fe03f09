// A test with a temporary directory and the program's one local file; the file is closed when
// the test ends.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>

#include "files/LocalFile.h"
#include "support/TempDir.h"

namespace kalvoran::testing {

class LocalFileFixture : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir.Path().empty()); }
    void TearDown() override { file.Close(); }

    TempDir dir;
    CLocalFile file;
};

// A file operation's count and reason as one comparable, printable value, so that a test checks
// both and a failure shows both.
using Outcome = std::pair<std::int32_t, std::string>;

inline Outcome OutcomeOf(const FileResult& result) {
    return {result.count, result.reason};
}

}  // namespace kalvoran::testing
