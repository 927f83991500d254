// Starting a program that outlives us: the double fork shared by LaunchProgram and
// StartDetachedScript.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/handles.h"

namespace velka {
namespace posix {

// Only async-signal-safe calls after fork: the parent may have other threads.
[[noreturn]] inline void ReportAndExit(int fd, int code) {
    ssize_t ignored = write(fd, &code, sizeof code);
    (void)ignored;
    _exit(127);
}

// What an exec'd program should start with: SIGPIPE back to its default, nothing blocked.
inline void ResetSignalsForExec() {
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Starts `child(errorFd)` in a grandchild through a middle child that ends at once, so the program
// is adopted by init: it outlives us and never lingers as our zombie. With `newSession` the middle
// child first leaves our session (our terminal and its hang-up). `child` runs async-signal-safe
// calls only and ends in an exec; it reports a failure with ReportAndExit(errorFd, errno), and
// when it returns the exec's errno is reported. Everything it needs is prepared before the call.
//
// The error travels back through a pipe that exec closes on success, so an empty read means the
// program is running: true. Otherwise false, with errno the child's error (or that of the failed
// pipe, fork or read).
template <typename Child>
bool StartDetached(bool newSession, Child child) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);

    const pid_t middle = fork();
    if (middle < 0) return false;
    if (middle == 0) {
        if (newSession && setsid() < 0) ReportAndExit(writeEnd.get(), errno);
        const pid_t grandchild = fork();
        if (grandchild < 0) ReportAndExit(writeEnd.get(), errno);
        if (grandchild > 0) _exit(0);
        child(writeEnd.get());
        ReportAndExit(writeEnd.get(), errno);
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

}  // namespace posix
}  // namespace velka
