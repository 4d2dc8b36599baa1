#pragma once

// How many more files and sockets this process may open under its
// RLIMIT_NOFILE; -1 when that cannot be told (no /proc, no limit).
int freeFileHandles();
