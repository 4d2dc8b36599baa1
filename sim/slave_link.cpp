#include "slave_link.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace orvessa::sim {

namespace {

std::runtime_error linkError(const std::string& path, const std::string& what)
{
    return std::runtime_error("--link " + path + ": " + what);
}

}  // namespace

SlaveLink::SlaveLink(std::string linkPath, std::string target)
    : linkPath_(std::move(linkPath)), target_(std::move(target))
{
    struct stat st {};
    if (::lstat(linkPath_.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            throw linkError(linkPath_, "exists and is not a symlink");
        }
        if (::unlink(linkPath_.c_str()) != 0) {
            throw linkError(linkPath_, std::string("cannot remove old symlink: ") + std::strerror(errno));
        }
    }
    if (::symlink(target_.c_str(), linkPath_.c_str()) != 0) {
        throw linkError(linkPath_, std::strerror(errno));
    }
}

SlaveLink::~SlaveLink()
{
    // Only remove the link if it is still ours (another instance may have replaced it).
    std::array<char, 4096> buf{};
    const ssize_t n = ::readlink(linkPath_.c_str(), buf.data(), buf.size() - 1);
    if (n >= 0 && target_ == std::string_view(buf.data(), static_cast<std::size_t>(n))) {
        ::unlink(linkPath_.c_str());
    }
}

}  // namespace orvessa::sim
