// The two published configurations, plain and enciphered, read from a file as the launcher reads
// them. The first byte picks the launcher or the server configuration (or the version record).
#include <unistd.h>

#include <cstdio>
#include <string>

#include "patcher/content_cipher.h"
#include "patcher/remote_config.h"
#include "platform/text.h"
#include "util/logger.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static velka::Logger logger;
    static const velka::ContentCipher cipher(velka::kContentCipherKey);
    static const std::string path = "/tmp/velka_fuzz_config_" + std::to_string(getpid());
    static bool opened = (logger.Open("/dev/null"), true);
    (void)opened;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) __builtin_trap();
    std::fwrite(data + 1, 1, size - 1, file);
    std::fclose(file);
    if (data[0] % 3 == 0) {
        velka::LauncherConfig config;
        velka::ParseLauncherConfig(logger, cipher, velka::ToWide(path), &config);
    } else {
        velka::ServerConfig config;
        velka::ParseServerConfig(logger, cipher, velka::ToWide(path), &config, data[0] % 3 == 1);
    }
    return 0;
}
