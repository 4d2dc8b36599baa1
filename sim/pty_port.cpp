#include "pty_port.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace orvessa::sim {

namespace {

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

void configureLine(int fd)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        fail("tcgetattr on pty slave");
    ::cfmakeraw(&tio);
    if (::cfsetspeed(&tio, B9600) != 0)
        fail("cfsetspeed");
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0)
        fail("tcsetattr on pty slave");
}

}  // namespace

PtyPort::PtyPort(UniqueFd master, std::string slavePath) : master_(std::move(master)), slavePath_(std::move(slavePath))
{}

PtyPort PtyPort::create()
{
    UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!master.valid())
        fail("posix_openpt");
    if (::grantpt(master.get()) != 0)
        fail("grantpt");
    if (::unlockpt(master.get()) != 0)
        fail("unlockpt");
    char name[128] = {};
    if (::ptsname_r(master.get(), name, sizeof name) != 0)
        fail("ptsname_r");

    // Termios settings persist on the pty after the slave is closed again.
    UniqueFd slave(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slave.valid())
        fail("open pty slave");
    configureLine(slave.get());
    return PtyPort(std::move(master), name);
}

bool PtyPort::hungUp() const
{
    pollfd pfd{master_.get(), POLLIN, 0};
    return ::poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLHUP) != 0;
}

std::size_t PtyPort::readSome(std::span<std::uint8_t> buffer)
{
    while (true) {
        const ssize_t n = ::read(master_.get(), buffer.data(), buffer.size());
        if (n > 0)
            return static_cast<std::size_t>(n);
        if (n < 0 && errno == EINTR)
            continue;
        return 0;  // EAGAIN, or EIO while the slave is closed
    }
}

std::size_t PtyPort::writeSome(std::span<const std::uint8_t> bytes)
{
    while (true) {
        const ssize_t n = ::write(master_.get(), bytes.data(), bytes.size());
        if (n >= 0)
            return static_cast<std::size_t>(n);
        if (errno == EINTR)
            continue;
        return 0;
    }
}

void PtyPort::discardUnread()
{
    UniqueFd slave(::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (slave.valid()) {
        ::tcflush(slave.get(), TCIFLUSH);
    }
}

}  // namespace orvessa::sim
