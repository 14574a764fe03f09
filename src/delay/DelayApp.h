// The delay program's application object: picks a window system, runs the delay dialog modally
// and ends the program with the dialog's exit code.
#pragma once

#include <string>

namespace kalvoran::delay {

class CDelayApp {
public:
    // argc and argv are main's; they must outlive the application object.
    CDelayApp(int& argc, char** argv);

    // Runs the program and returns its exit code (kExitDone or kExitUsage).
    int InitInstance();

private:
    int& argc;
    char** argv;
};

// The window systems to try, in order, for the platform variable and the displays named in the
// environment (empty when not set). A platform the caller named is kept as it is. Otherwise the
// displays that are set come first, and the off-screen platform always last: a script run over
// ssh, from a scheduler or with a stale DISPLAY still waits, only without a window.
std::string ChoosePlatforms(const std::string& namedPlatform, const std::string& x11Display,
                            const std::string& waylandDisplay);

}  // namespace kalvoran::delay
