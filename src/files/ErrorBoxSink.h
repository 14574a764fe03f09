// Where the core's error boxes go: a modal box captioned "Error" with the stop icon and one OK
// button. The window layer implements it; tests record what would have been shown.
#pragma once

#include <string_view>

namespace kalvoran {

class ErrorBoxSink {
public:
    virtual ~ErrorBoxSink() = default;
    virtual void ShowErrorBox(std::string_view text) = 0;
};

}  // namespace kalvoran
