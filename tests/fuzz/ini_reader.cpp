// The INI reader on arbitrary bytes: it either reads the text or throws std::runtime_error.
#include "util/ini_reader.h"

#include <sstream>
#include <stdexcept>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream input(std::string(reinterpret_cast<const char*>(data), size));
    try {
        velka::IniReader reader(input);
        reader.Root().Value("remoteURLs");
    } catch (const std::runtime_error&) {
    }
    return 0;
}
