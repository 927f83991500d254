// Shared test helpers: file trees, varied bytes, a CRC computed without the code under test,
// shrunk time limits, polling, and running a built program.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <system_error>
#include <thread>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "platform/fs.h"
#include "platform/text.h"
#include "transfer/transfer_settings.h"

namespace velka {
namespace testing_support {

inline const bool kWindowsHost = kPathSeparator == L'\\';

// Files below some root: "/"-separated relative path -> content.
using Tree = std::map<std::string, std::string>;

inline bool WriteTree(const std::wstring& root, const Tree& tree) {
    for (const auto& [path, content] : tree) {
        const std::wstring target = JoinPath(root, ToWide(path));
        if (!CreateDirectories(target) || !WriteFileBytes(target, content)) return false;
    }
    return true;
}

inline Tree ReadTree(const std::wstring& root) {
    namespace fs = std::filesystem;
    Tree tree;
    std::error_code ec;
    const fs::path base = fs::u8path(WideToUtf8(root));
    for (auto it = fs::recursive_directory_iterator(base, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file()) continue;
        std::string content;
        EXPECT_TRUE(ReadFileBytes(Utf8ToWide(it->path().u8string()), &content));
        tree[fs::relative(it->path(), base).generic_u8string()] = content;
    }
    return tree;
}

// The file's bytes; "" when it cannot be read.
inline std::string Contents(const std::wstring& path) {
    std::string bytes;
    ReadFileBytes(path, &bytes);
    return bytes;
}

// Incompressible bytes, different per seed.
inline std::string VariedBytes(size_t size, uint32_t seed) {
    std::string data(size, '\0');
    for (char& c : data) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    return data;
}

inline size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// CRC-32 as the lists write it (8 upper-case hex digits), computed with zlib directly.
inline std::string CrcText(const std::string& bytes) {
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size()));
    static const char kHex[] = "0123456789ABCDEF";
    std::string text(8, '0');
    for (int i = 7; i >= 0; --i, crc >>= 4) text[i] = kHex[crc & 0xF];
    return text;
}

// Time limits shrunk so that dead and trickling servers are noticed in seconds.
inline TransferSettings FastSettings() {
    TransferSettings settings;
    settings.textConnectTimeoutMs = 3000;
    settings.fileConnectTimeoutMs = 3000;
    settings.lowSpeedLimitBytes = 1000;
    settings.lowSpeedTimeSeconds = 1;
    settings.retryLowSpeedTimeSeconds = 2;
    settings.stallLimitMs = 1500;
    settings.packageWatchPeriodMs = 50;
    return settings;
}

// Polls `done` every 50 ms for up to `seconds`.
inline bool WaitFor(const std::function<bool()>& done, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return done();
}

// A path the build system wrote ("/work/build/x"), as this host names it: under Wine the
// POSIX file system is drive Z:.
inline std::wstring HostPath(std::string path) {
    if (kWindowsHost && !path.empty() && path.front() == '/') {
        std::replace(path.begin(), path.end(), '/', '\\');
        path = "Z:" + path;
    }
    return ToWide(path);
}

// Runs `exe` with `args` (already quoted for the shell) and `variable`=`value` in its
// environment (none when `variable` is empty), output into files; the exit status.
inline int RunProgram(const std::wstring& exe, const std::string& args, const std::wstring& out,
                      const std::wstring& err, const std::string& variable = "",
                      const std::wstring& value = L"") {
    std::string command;
    if (kWindowsHost) {
        if (!variable.empty()) command = "set \"" + variable + "=" + ToNarrow(value) + "\" && ";
        command += "\"" + ToNarrow(exe) + "\" " + args + " > \"" + ToNarrow(out) + "\" 2> \"" +
                   ToNarrow(err) + "\"";
        // cmd.exe strips the first and the last quote of a command that begins with one.
        command = "\"" + command + "\"";
    } else {
        if (!variable.empty()) command = variable + "='" + ToNarrow(value) + "' ";
        command += "'" + ToNarrow(exe) + "' " + args + " > '" + ToNarrow(out) + "' 2> '" +
                   ToNarrow(err) + "'";
    }
    const int status = std::system(command.c_str());
#ifndef _WIN32
    if (status != -1 && WIFEXITED(status)) return WEXITSTATUS(status);
#endif
    return status;
}

}  // namespace testing_support
}  // namespace velka
