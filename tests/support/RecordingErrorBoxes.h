// Records the error boxes the core would show, in order, instead of showing them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "files/ErrorBoxSink.h"

namespace kalvoran::testing {

class RecordingErrorBoxes : public ErrorBoxSink {
public:
    void ShowErrorBox(std::string_view text) override { texts.emplace_back(text); }

    std::vector<std::string> texts;
};

}  // namespace kalvoran::testing
