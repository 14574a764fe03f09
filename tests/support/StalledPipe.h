// A named pipe whose reader never reads and whose buffer is already full: a program whose
// standard output is redirected to it (`>path`) finds no room for a single byte, as behind a
// pager that was stopped or a script that stopped reading.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

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
        for (const int fd : {reader, writer}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        ::unlink(path.c_str());
    }
    StalledPipe(const StalledPipe&) = delete;
    StalledPipe& operator=(const StalledPipe&) = delete;

    bool Full() const { return full; }
    const std::string& Path() const { return path; }

private:
    std::string path;
    int reader = -1;
    int writer = -1;
    bool full = false;
};

}  // namespace kalvoran::testing
