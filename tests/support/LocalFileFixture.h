// A test with a temporary directory and the program's one local file, whose error boxes are
// recorded; the file is closed when the test ends.
#pragma once

#include <gtest/gtest.h>

#include "files/LocalFile.h"
#include "support/RecordingErrorBoxes.h"
#include "support/TempDir.h"

namespace kalvoran::testing {

class LocalFileFixture : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir.Path().empty()); }
    void TearDown() override { file.Close(); }

    TempDir dir;
    RecordingErrorBoxes boxes;
    CLocalFile file{boxes};
};

}  // namespace kalvoran::testing
