#include "platform/identity.h"

#include <winsock2.h>
// windows.h only after winsock2.h, whose socket declarations replace the older ones.
#include <windows.h>
// These need both of the above.
#include <iphlpapi.h>
#include <objbase.h>

#include <cstring>
#include <vector>

namespace velka {

namespace {

constexpr char kHexUpper[] = "0123456789ABCDEF";
constexpr char kHexLower[] = "0123456789abcdef";

void AppendHex(std::string* text, uint64_t value, int digits) {
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
        *text += kHexUpper[(value >> shift) & 0x0F];
    }
}

// Windows Sockets stay started only while the host name is looked up.
class WinsockSession {
  public:
    WinsockSession() {
        WSADATA data;
        started_ = WSAStartup(MAKEWORD(1, 1), &data) == 0;
    }
    ~WinsockSession() {
        if (started_) WSACleanup();
    }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
    bool started() const { return started_; }

  private:
    bool started_ = false;
};

// Dotted address of the host name's first address; empty when any step fails.
std::string HostAddressText() {
    WinsockSession session;
    if (!session.started()) return std::string();
    char name[260] = {};
    if (gethostname(name, sizeof name - 1) != 0) return std::string();
    const hostent* host = gethostbyname(name);
    if (host == nullptr || host->h_addrtype != AF_INET || host->h_addr_list == nullptr ||
        host->h_addr_list[0] == nullptr) {
        return std::string();
    }
    in_addr address;
    std::memcpy(&address, host->h_addr_list[0], sizeof address);
    const char* text = inet_ntoa(address);
    return text ? std::string(text) : std::string();
}

}  // namespace

std::string NewGuidString() {
    GUID guid;
    if (FAILED(CoCreateGuid(&guid))) return std::string();
    std::string text;
    text.reserve(36);
    AppendHex(&text, guid.Data1, 8);
    text += '-';
    AppendHex(&text, guid.Data2, 4);
    text += '-';
    AppendHex(&text, guid.Data3, 4);
    text += '-';
    for (int i = 0; i < 8; ++i) {
        if (i == 2) text += '-';
        AppendHex(&text, guid.Data4[i], 2);
    }
    return text;
}

std::string LocalMacAddress() {
    const std::string host = HostAddressText();
    if (host.empty()) return std::string();

    // Starts with room for one record and retries once with the size the system asks for.
    ULONG size = sizeof(IP_ADAPTER_INFO);
    std::vector<IP_ADAPTER_INFO> buffer(1);
    DWORD rc = GetAdaptersInfo(buffer.data(), &size);
    if (rc == ERROR_BUFFER_OVERFLOW) {
        buffer.resize(size / sizeof(IP_ADAPTER_INFO) + 1);
        size = static_cast<ULONG>(buffer.size() * sizeof(IP_ADAPTER_INFO));
        rc = GetAdaptersInfo(buffer.data(), &size);
    }
    if (rc != ERROR_SUCCESS) return std::string();

    for (const IP_ADAPTER_INFO* a = buffer.data(); a != nullptr; a = a->Next) {
        if (a->Type != MIB_IF_TYPE_ETHERNET || host != a->IpAddressList.IpAddress.String) {
            continue;
        }
        std::string text;
        for (UINT i = 0; i < a->AddressLength && i < MAX_ADAPTER_ADDRESS_LENGTH; ++i) {
            if (i > 0) text += ':';
            text += kHexLower[a->Address[i] >> 4];
            text += kHexLower[a->Address[i] & 0x0F];
        }
        return text;
    }
    return std::string();
}

}  // namespace velka
