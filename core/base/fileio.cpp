#include "core/base/fileio.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ecm {

namespace {

std::string dir_of(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

[[noreturn]] void fail(const std::string& what, const std::string& path, int err) {
    throw std::runtime_error("cannot " + what + " '" + path + "': " + std::strerror(err));
}

}  // namespace

void write_file_atomic(const std::string& path, const std::string& text) {
    std::string tmpl = dir_of(path) + "/." + path.substr(path.find_last_of('/') + 1) + ".tmpXXXXXX";
    std::string tmp = tmpl;
    int fd = ::mkstemp(tmp.data());
    if (fd < 0) fail("write", path, errno);

    // mkstemp creates the file 0600; give it the permissions an ordinary open() would.
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);

    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t w = ::write(fd, p, left);
        if (w < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(fd);
            ::unlink(tmp.c_str());
            fail("write", path, err);
        }
        p += w;
        left -= static_cast<size_t>(w);
    }
    if (::fsync(fd) != 0 && errno != EINVAL) {
        int err = errno;
        ::close(fd);
        ::unlink(tmp.c_str());
        fail("write", path, err);
    }
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        fail("write", path, err);
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        fail("replace", path, err);
    }
}

}  // namespace ecm
