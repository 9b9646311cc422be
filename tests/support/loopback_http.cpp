#include "support/loopback_http.h"

#include <winsock2.h>

#include "framework/unique_any.h"

namespace tdm::test {
namespace {

void CloseSocket(SOCKET s) noexcept { ::closesocket(s); }
using unique_socket = unique_any<SOCKET, CloseSocket, -1>;

// Winsock for the time of one request (its start and cleanup are counted).
struct WinsockUse
{
    WinsockUse() noexcept
    {
        WSADATA data;
        started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~WinsockUse()
    {
        if (started)
            ::WSACleanup();
    }
    WinsockUse(const WinsockUse&) = delete;
    WinsockUse& operator=(const WinsockUse&) = delete;
    bool started = false;
};

}  // namespace

std::string HttpGet(unsigned short port, const std::string& path)
{
    const WinsockUse winsock;
    if (!winsock.started)
        return {};
    const unique_socket s(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (s && ::connect(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0)
    {
        const std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
        ::send(s.get(), request.data(), static_cast<int>(request.size()), 0);
        char chunk[4096];
        for (int n; (n = ::recv(s.get(), chunk, sizeof(chunk), 0)) > 0;)
            answer.append(chunk, static_cast<size_t>(n));
    }
    const size_t body = answer.find("\r\n\r\n");
    return body == std::string::npos ? std::string() : answer.substr(body + 4);
}

}  // namespace tdm::test
