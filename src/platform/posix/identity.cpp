#include "platform/identity.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if_arp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "platform/posix/handles.h"

namespace velka {

namespace {

constexpr char kHexUpper[] = "0123456789ABCDEF";
constexpr char kHexLower[] = "0123456789abcdef";

bool ReadRandom(unsigned char* bytes, size_t size) {
    posix::UniqueFd fd(open("/dev/urandom", O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return false;
    while (size > 0) {
        const ssize_t n = read(fd.get(), bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

struct AddrInfoFree {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
struct IfAddrsFree {
    void operator()(ifaddrs* list) const { freeifaddrs(list); }
};

// The host's address the way other machines would look it up: the first IPv4 address its name
// resolves to. Zero when the name does not resolve.
in_addr_t HostAddress() {
    char name[260] = {};
    if (gethostname(name, sizeof name - 1) != 0) return 0;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* raw = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &raw) != 0 || raw == nullptr) return 0;
    std::unique_ptr<addrinfo, AddrInfoFree> list(raw);
    for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addr != nullptr) {
            return reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
        }
    }
    return 0;
}

}  // namespace

std::string NewGuidString() {
    unsigned char b[16];
    if (!ReadRandom(b, sizeof b)) return std::string();
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4: random
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
    std::string text;
    text.reserve(36);
    for (size_t i = 0; i < sizeof b; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += kHexUpper[b[i] >> 4];
        text += kHexUpper[b[i] & 0x0F];
    }
    return text;
}

std::string LocalMacAddress() {
    const in_addr_t host = HostAddress();
    if (host == 0) return std::string();
    ifaddrs* raw = nullptr;
    if (getifaddrs(&raw) != 0) return std::string();
    std::unique_ptr<ifaddrs, IfAddrsFree> list(raw);

    const char* adapter = nullptr;
    for (const ifaddrs* i = list.get(); i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET &&
            reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr == host) {
            adapter = i->ifa_name;
            break;
        }
    }
    if (adapter == nullptr) return std::string();

    for (const ifaddrs* i = list.get(); i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_PACKET) continue;
        if (std::strcmp(i->ifa_name, adapter) != 0) continue;
        const auto* link = reinterpret_cast<const sockaddr_ll*>(i->ifa_addr);
        if (link->sll_hatype != ARPHRD_ETHER || link->sll_halen == 0) return std::string();
        std::string text;
        for (unsigned k = 0; k < link->sll_halen && k < sizeof link->sll_addr; ++k) {
            if (k > 0) text += ':';
            text += kHexLower[link->sll_addr[k] >> 4];
            text += kHexLower[link->sll_addr[k] & 0x0F];
        }
        return text;
    }
    return std::string();
}

}  // namespace velka
