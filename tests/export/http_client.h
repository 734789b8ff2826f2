// A minimal HTTP/1.1 client on loopback for qax-export's tests (and the
// Prometheus API in the fleet test), and a free port to listen on.
#ifndef QAX_TESTS_EXPORT_HTTP_CLIENT_H
#define QAX_TESTS_EXPORT_HTTP_CLIENT_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace qaxtest {

inline int Connect(int port, int timeoutMs) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct timeval tv = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One request; the status code (-1 on a failure or time-out), the body in `body`.
inline int Http(int port, const std::string &method, const std::string &target, std::string *body = nullptr,
                const std::string &headers = "", int timeoutMs = 10000) {
    int fd = Connect(port, timeoutMs);
    if (fd < 0) return -1;
    const std::string request =
        method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "Connection: close\r\n\r\n";
    std::string response;
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
        char buf[16384];
        for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) response.append(buf, size_t(n));
    }
    close(fd);
    const size_t end = response.find("\r\n\r\n");
    if (response.compare(0, 9, "HTTP/1.1 ") != 0 || end == std::string::npos) return -1;
    if (body != nullptr) *body = response.substr(end + 4);
    return std::stoi(response.substr(9, 3));
}

// A port nobody listens on now (the kernel's choice).
inline int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

// Resident memory of a process in KiB (VmRSS), 0 when unknown.
inline long RssKiB(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

}  // namespace qaxtest

#endif
