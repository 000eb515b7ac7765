// mgm-announce: sends one component service file to a gateway's service file
// receiver, as one UDP datagram, the way a machine component announces its
// services.
//
//   mgm-announce FILE [HOST] [PORT]
//
// HOST defaults to 192.168.2.1 (the gateway's address in the trusted zone of
// the emulated installation), PORT to 5600. The receiver takes at most 4096
// bytes per datagram, so a larger file is refused instead of being cut.
// Exit status: 0 sent, 1 refused or failed, 2 usage error.

#include <netdb.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "env/DaemonFacts.h"

namespace {

constexpr const char* DEFAULT_HOST = "192.168.2.1";
constexpr const char* DEFAULT_PORT = daemon_facts::RECEIVER_PORT;
constexpr std::size_t MAX_DATAGRAM = daemon_facts::MAX_DATAGRAM_SIZE;

int usage() {
  std::fprintf(stderr,
               "usage: mgm-announce FILE [HOST] [PORT]\n"
               "  sends FILE (at most %zu bytes) as one UDP datagram to HOST:PORT\n"
               "  (default %s:%s)\n",
               MAX_DATAGRAM, DEFAULT_HOST, DEFAULT_PORT);
  return 2;
}

// True when `text` is a decimal port number 1..65535.
bool validPort(const std::string& text) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  const long value = std::strtol(text.c_str(), nullptr, 10);
  return value >= 1 && value <= 65535;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) return usage();
  const std::string path = argv[1];
  const std::string host = argc > 2 ? argv[2] : DEFAULT_HOST;
  const std::string port = argc > 3 ? argv[3] : DEFAULT_PORT;
  if (!validPort(port)) {
    std::fprintf(stderr, "mgm-announce: invalid port '%s' (expected 1..65535)\n", port.c_str());
    return 2;
  }

  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "mgm-announce: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
    return 1;
  }
  const std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    std::fprintf(stderr, "mgm-announce: error reading %s\n", path.c_str());
    return 1;
  }
  if (body.size() > MAX_DATAGRAM) {
    std::fprintf(stderr,
                 "mgm-announce: %s is %zu bytes, over the %zu-byte limit of one datagram; "
                 "the receiver would cut it, so it is not sent\n",
                 path.c_str(), body.size(), MAX_DATAGRAM);
    return 1;
  }

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const int gai = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (gai != 0 || found == nullptr) {
    std::fprintf(stderr, "mgm-announce: cannot resolve %s: %s\n", host.c_str(), gai_strerror(gai));
    return 1;
  }
  const int fd = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
  if (fd < 0) {
    std::fprintf(stderr, "mgm-announce: socket: %s\n", std::strerror(errno));
    freeaddrinfo(found);
    return 1;
  }
  const ssize_t sent = sendto(fd, body.data(), body.size(), 0, found->ai_addr, found->ai_addrlen);
  const int sendErrno = errno;
  freeaddrinfo(found);
  close(fd);
  if (sent < 0 || static_cast<std::size_t>(sent) != body.size()) {
    std::fprintf(stderr, "mgm-announce: sending to %s:%s failed: %s\n", host.c_str(), port.c_str(),
                 sent < 0 ? std::strerror(sendErrno) : "short write");
    return 1;
  }
  std::printf("mgm-announce: sent %s (%zu bytes) to %s:%s\n", path.c_str(), body.size(), host.c_str(),
              port.c_str());
  return 0;
}
