#include "file_handles.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <sys/resource.h>

int freeFileHandles()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return -1;
    DIR* listing = ::opendir("/proc/self/fd");
    if (!listing)
        return errno == EMFILE || errno == ENFILE ? 0 : -1;
    // Handles at or above the limit (opened before it was lowered) take no
    // place under it; the listing's own handle is free again after.
    long used = -1;
    while (const dirent* entry = ::readdir(listing)) {
        char* end = nullptr;
        const unsigned long handle = std::strtoul(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0' && handle < limit.rlim_cur)
            ++used;
    }
    ::closedir(listing);
    return int(std::clamp<long>(long(limit.rlim_cur) - used, 0, INT_MAX));
}
