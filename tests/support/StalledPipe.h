// A named pipe whose reader never reads and whose buffer is already full: a program whose
// standard output is redirected to it (`>path`) finds no room for a single byte, as behind a
// pager that was stopped or a script that stopped reading, until the test reads it late or
// closes it.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "support/ChildProcess.h"

namespace kalvoran::testing {

class StalledPipe {
public:
    explicit StalledPipe(std::string fifoPath) : path(std::move(fifoPath)) {
        if (::mkfifo(path.c_str(), 0600) != 0) {
            return;
        }
        reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        writer = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (reader < 0 || writer < 0) {
            return;
        }
        const std::string chunk(4096, 'x');
        while (::write(writer, chunk.data(), chunk.size()) > 0) {
        }
        full = errno == EAGAIN;
    }
    ~StalledPipe() {
        CloseReader();
        ::unlink(path.c_str());
    }
    StalledPipe(const StalledPipe&) = delete;
    StalledPipe& operator=(const StalledPipe&) = delete;

    bool Full() const { return full; }

    // The reader starts reading at last: what was written after the filler, up to the end (every
    // writer gone) or the deadline.
    std::string ReadLate(std::chrono::steady_clock::time_point deadline) {
        CloseEnd(writer);
        std::string text;
        ReadUntil(reader, text, deadline, nullptr);
        return text.substr(std::min(text.find_first_not_of('x'), text.size()));
    }
    // The reader goes away without reading: a write finds the pipe broken.
    void CloseReader() {
        CloseEnd(writer);
        CloseEnd(reader);
    }
    const std::string& Path() const { return path; }

private:
    static void CloseEnd(int& fd) {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }

    std::string path;
    int reader = -1;
    int writer = -1;
    bool full = false;
};

}  // namespace kalvoran::testing
