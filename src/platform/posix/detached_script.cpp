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

#include "platform/posix/handles.h"
#include "platform/text.h"

namespace velka {

namespace {

using posix::UniqueFd;

// Only async-signal-safe calls after fork: the launcher has other threads.
[[noreturn]] void ReportAndExit(int fd, int code) {
    ssize_t ignored = write(fd, &code, sizeof code);
    (void)ignored;
    _exit(127);
}

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

    // The exec error travels back through a pipe that exec closes on success, so an empty read
    // means the shell is running.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);

    // Started twice over so the script is adopted by init: it outlives us and never lingers as
    // our zombie. The new session detaches it from our terminal and its hang-up.
    const pid_t middle = fork();
    if (middle < 0) return false;
    if (middle == 0) {
        if (setsid() < 0) ReportAndExit(writeEnd.get(), errno);
        const pid_t scriptPid = fork();
        if (scriptPid < 0) ReportAndExit(writeEnd.get(), errno);
        if (scriptPid > 0) _exit(0);
        const int null = open("/dev/null", O_RDWR);
        if (null < 0) ReportAndExit(writeEnd.get(), errno);
        for (int target = 0; target <= 2; ++target) {
            if (dup2(null, target) < 0) ReportAndExit(writeEnd.get(), errno);
        }
        // The error pipe stays until exec closes it.
        const int keep = writeEnd.get();
        if (keep >= 3) {
            for (long fd = 3; fd < keep; ++fd) close(static_cast<int>(fd));
            CloseDescriptorsFrom(keep + 1, -1, openMax);
        } else {
            CloseDescriptorsFrom(3, keep, openMax);
        }
        signal(SIGPIPE, SIG_DFL);
        signal(SIGHUP, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execl(shell, "sh", script.c_str(), static_cast<char*>(nullptr));
        ReportAndExit(keep, errno);
    }
    writeEnd.Reset();
    int status = 0;
    while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    int childError = 0;
    ssize_t n;
    do {
        n = read(readEnd.get(), &childError, sizeof childError);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(sizeof childError)) {
        errno = childError;
        return false;
    }
    return n == 0;
}

}  // namespace velka
