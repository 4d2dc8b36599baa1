// A symlink to the pty slave, removed again when this object goes away.
#pragma once

#include <string>

namespace orvessa::sim {

class SlaveLink {
public:
    // Replaces a symlink already at `linkPath`; refuses any other file.
    // Throws std::runtime_error on failure.
    SlaveLink(std::string linkPath, std::string target);
    ~SlaveLink();
    SlaveLink(const SlaveLink&) = delete;
    SlaveLink& operator=(const SlaveLink&) = delete;

private:
    std::string linkPath_;
    std::string target_;
};

}  // namespace orvessa::sim
