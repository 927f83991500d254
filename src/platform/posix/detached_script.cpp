#include "platform/detached_script.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/posix/detached_start.h"
#include "platform/text.h"

namespace velka {

namespace {

// Closes every descriptor from `first` up, so that the script (and the launcher it starts)
// holds none of ours: no log file, no socket, no pipe a caller waits on for end of file.
void CloseDescriptorsFrom(int first, int keep, long openMax) {
#ifdef SYS_close_range
    if (keep < first && syscall(SYS_close_range, first, ~0u, 0) == 0) return;
#endif
    for (long fd = first; fd < openMax; ++fd) {
        if (fd != keep) close(static_cast<int>(fd));
    }
}

}  // namespace

bool StartDetachedScript(const std::wstring& directory, const std::wstring& scriptName) {
    if (chdir(ToNarrow(directory).c_str()) != 0) return false;

    // Everything the child needs is prepared before fork.
    const std::string script = ToNarrow(scriptName);
    const char* const shell = "/bin/sh";
    const long limit = sysconf(_SC_OPEN_MAX);
    const long openMax = limit > 0 ? std::min(limit, 65536L) : 1024L;

    // The new session detaches the script from our terminal and its hang-up.
    return posix::StartDetached(true, [&](int errorFd) {
        const int null = open("/dev/null", O_RDWR);
        if (null < 0) posix::ReportAndExit(errorFd, errno);
        for (int target = 0; target <= 2; ++target) {
            if (dup2(null, target) < 0) posix::ReportAndExit(errorFd, errno);
        }
        // The error pipe stays until exec closes it.
        if (errorFd >= 3) {
            for (long fd = 3; fd < errorFd; ++fd) close(static_cast<int>(fd));
            CloseDescriptorsFrom(errorFd + 1, -1, openMax);
        } else {
            CloseDescriptorsFrom(3, errorFd, openMax);
        }
        signal(SIGHUP, SIG_DFL);
        posix::ResetSignalsForExec();
        execl(shell, "sh", script.c_str(), static_cast<char*>(nullptr));
    });
}

}  // namespace velka
