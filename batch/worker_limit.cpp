#include "worker_limit.h"

#include <algorithm>
#include <dirent.h>
#include <sys/resource.h>

namespace {

// What a running worker holds of the batch's descriptors: its three pipes and its process's
// own, and for a moment while it starts, the other ends and the start's own pipe.
constexpr int DescriptorsPerWorker = 8;
// Kept for the batch's own: the report, the record, the journal, udev, the event loop.
constexpr int DescriptorsKept = 16;

int openDescriptors()
{
    int n = 0;
    if (DIR *d = ::opendir("/proc/self/fd")) {
        while (const dirent *e = ::readdir(d))
            n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

} // namespace

int workersAtOnce()
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    const rlim_t room = std::min<rlim_t>(limit.rlim_cur, 1 << 20);
    const long spare = long(room) - openDescriptors() - DescriptorsKept;
    return int(std::max(1L, spare / DescriptorsPerWorker));
}

