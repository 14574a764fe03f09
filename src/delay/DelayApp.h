// The delay program's application object: prepares the display, runs the delay dialog modally
// and ends the program when the dialog ends.
#pragma once

namespace kalvoran::delay {

class CDelayApp {
public:
    // argc and argv are main's; they must outlive the application object.
    CDelayApp(int& argc, char** argv);

    // Runs the program and returns its exit code, always 0.
    int InitInstance();

private:
    int& m_argc;
    char** m_argv;
};

// True when a window system can show the dialog: a platform is named, or an X11 or Wayland
// display is set.
bool IsDisplayAvailable();

}  // namespace kalvoran::delay
