// delay <seconds>: shows a small dialog with a progress bar for that many seconds, then ends.
#include "delay/DelayApp.h"

int main(int argc, char** argv) {
    kalvoran::delay::CDelayApp app(argc, argv);
    return app.InitInstance();
}
