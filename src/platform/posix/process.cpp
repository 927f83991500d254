#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/posix/detached_start.h"
#include "platform/posix/handles.h"
#include "platform/text.h"

namespace velka {

namespace {

std::vector<std::string> SplitAtBlanks(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    for (char c : text) {
        if (c == ' ' || c == '\t') {
            if (!word.empty()) words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty()) words.push_back(word);
    return words;
}

std::string ReadLinkText(const std::string& path) {
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t n = readlink(path.c_str(), &buffer[0], buffer.size());
        if (n < 0) return std::string();
        if (static_cast<size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<size_t>(n));
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// The kernel's task name is cut to 15 bytes; only a shorter one is certainly the whole name.
constexpr size_t kCommLimit = 15;

// File name of a process's executable, or empty when it cannot be learnt. The link may be
// unreadable for another user's process: the kernel's task name then stands in, but only when
// it was certainly not cut short.
std::string ExecutableName(const std::string& pidText) {
    const std::string base = "/proc/" + pidText;
    std::string target = ReadLinkText(base + "/exe");
    if (!target.empty()) {
        static const std::string kDeleted = " (deleted)";
        if (target.size() > kDeleted.size() &&
            target.compare(target.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
            target.resize(target.size() - kDeleted.size());
        }
        const size_t slash = target.find_last_of('/');
        return slash == std::string::npos ? target : target.substr(slash + 1);
    }
    // Kernel threads and zombies have no executable at all: nothing to match.
    if (errno != EACCES && errno != EPERM) return std::string();
    std::string comm;
    if (!ReadFileBytes(ToWide(base + "/comm"), &comm)) return std::string();
    if (!comm.empty() && comm.back() == '\n') comm.pop_back();
    return comm.size() < kCommLimit ? comm : std::string();
}

bool IsAllDigits(const char* text) {
    if (*text == '\0') return false;
    for (; *text; ++text) {
        if (*text < '0' || *text > '9') return false;
    }
    return true;
}

}  // namespace

bool LaunchProgram(const std::wstring& file, const std::wstring& parameters,
                   const std::wstring& workingDirectory) {
    if (chdir(ToNarrow(workingDirectory).c_str()) != 0) return false;

    // Everything the child needs is built before fork.
    const std::string program = ToNarrow(file);
    std::vector<std::string> words = SplitAtBlanks(ToNarrow(parameters));
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);

    return posix::StartDetached(false, [&](int) {
        posix::ResetSignalsForExec();
        execvp(argv[0], argv.data());
    });
}

bool KillProcessByName(const std::wstring& name) {
    if (name.empty()) return false;
    const std::string wanted = ToNarrow(name);
    posix::UniqueDir proc(opendir("/proc"));
    if (!proc.valid()) return false;
    const pid_t self = getpid();
    bool found = false;
    for (;;) {
        const dirent* entry = readdir(proc.get());
        if (entry == nullptr) break;
        if (!IsAllDigits(entry->d_name)) continue;
        const pid_t pid = static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10));
        if (pid == self) continue;
        if (ExecutableName(entry->d_name) != wanted) continue;
        found = true;
        // A process that ended meanwhile has been terminated as far as the caller is concerned.
        if (kill(pid, SIGKILL) != 0 && errno != ESRCH) return false;
    }
    return found;
}

uint32_t CurrentProcessId() {
    return static_cast<uint32_t>(getpid());
}

}  // namespace velka
