#include "intake/Receiver.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "Logging.h"
#include "intake/Spool.h"
#include "model/Globals.h"

namespace {

// Owns one file descriptor. The receiver thread is normally ended by
// cancellation while it waits in recv; the unwind that cancellation starts
// runs this destructor, so a stopped receiver releases its port.
class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

// Sets the thread's cancelability for the object's life. The receiver is
// cancelable only while it waits for a datagram: elsewhere a cancel could
// cut it off half-way through writing, renaming or logging, or land in the
// fclose or close of a destructor, where the unwind would end the process.
// A cancel sent meanwhile is acted on at the next wait.
class CancelState {
 public:
  explicit CancelState(int state) { pthread_setcancelstate(state, &previous_); }
  CancelState(const CancelState&) = delete;
  CancelState& operator=(const CancelState&) = delete;
  ~CancelState() {
    int ignored;
    pthread_setcancelstate(previous_, &ignored);
  }

 private:
  int previous_ = PTHREAD_CANCEL_ENABLE;
};

// One received datagram: its size as recv reports it, where it came from
// and the interface it arrived on ("" when the kernel did not say).
struct Arrival {
  ssize_t size;
  sockaddr_in sender;
  std::string interface_name;
};

Arrival receiveDatagram(int fd, std::vector<char>& buffer) {
  Arrival arrival{-1, {}, {}};
  iovec data{buffer.data(), buffer.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
  msghdr message{};
  message.msg_name = &arrival.sender;
  message.msg_namelen = sizeof(arrival.sender);
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof(control);
  {
    CancelState cancelable(PTHREAD_CANCEL_ENABLE);
    arrival.size = recvmsg(fd, &message, 0);
  }
  if (arrival.size < 0) return arrival;
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level != IPPROTO_IP || header->cmsg_type != IP_PKTINFO) continue;
    in_pktinfo info;
    memcpy(&info, CMSG_DATA(header), sizeof(info));
    char name[IF_NAMESIZE] = {};
    if (if_indextoname(static_cast<unsigned>(info.ipi_ifindex), name) != nullptr)
      arrival.interface_name = name;
  }
  return arrival;
}

// Logs a datagram dropped for its arrival interface, at most once a minute.
void reportDrop(DropReport& report, const Arrival& arrival) {
  const uint32_t count = report.dropped(DropReport::Clock::now());
  if (count == 0) return;
  char sender[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &arrival.sender.sin_addr, sender, sizeof(sender));
  MGM_LOG(3, "Dropped %u datagram(s) from outside the Trusted zone; latest from %s:%u on interface %s", count,
          sender, static_cast<unsigned>(ntohs(arrival.sender.sin_port)),
          arrival.interface_name.empty() ? "unknown" : arrival.interface_name.c_str());
}

}  // namespace

int sizeReceiveBuffer(int fd, int needed) {
  const int request = needed / 2;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &request, sizeof(request)) != 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &request, sizeof(request));
  int granted = -1;
  socklen_t length = sizeof(granted);
  if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &length) != 0) granted = -1;
  if (granted < needed)
    MGM_LOG(3, "UDPServer: receive buffer is %d bytes, %d needed to hold a burst of %d service files",
            granted, needed, RECEIVE_BURST_DATAGRAMS);
  return granted;
}

bool isTrustedArrival(const std::string& interface_name) {
  return interface_name == trusted_zone || interface_name == "lo";
}

uint32_t DropReport::dropped(Clock::time_point now) {
  ++unreported_;
  if (reported_ && now - last_report_ < std::chrono::minutes(1)) return 0;
  reported_ = true;
  last_report_ = now;
  const uint32_t count = unreported_;
  unreported_ = 0;
  return count;
}

void* runReceiver(const std::string& port, const std::string& buffer_size) {
  CancelState not_cancelable(PTHREAD_CANCEL_DISABLE);

  UniqueFd socket_fd(socket(AF_INET, SOCK_DGRAM, 0));
  if (socket_fd.get() < 0) {
    MGM_LOG(3, "Error in UDPServer: Could not create socket");
    std::exit(1);
  }

  const unsigned long port_number = std::strtoul(port.c_str(), nullptr, 0);
  if (port_number >= 65536) {
    MGM_LOG(3, "UDP Port is to big! (cast to unsigned short: max is 65535)");
    std::exit(1);
  }

  // A burst of announcements waits in the socket's buffer while the files
  // are written one by one; the kernel's default holds fewer than a hundred.
  sizeReceiveBuffer(socket_fd.get(), RECEIVE_BUFFER_NEEDED);

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(port_number));
  if (bind(socket_fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    MGM_LOG(3, "Error in UDPServer: Could not bind socket");
    std::exit(1);
  }
  // Components live on the Trusted side: each datagram says which interface
  // it arrived on, and only the Trusted one and loopback are spooled.
  const int on = 1;
  setsockopt(socket_fd.get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof(on));
  DropReport drops;

  const std::string temporary = spoolDirectory() + incoming_file_name + xml_extension;
  while (run_thread) {
    // Opened before the wait: an empty temporary file exists while waiting.
    UniqueFile file(std::fopen(temporary.c_str(), "w"));
    if (!file) {
      MGM_LOG(3, "Error in UDPServer: Could not open File");
      std::exit(1);
    }

    std::vector<char> buffer(std::strtoul(buffer_size.c_str(), nullptr, 10));
    const Arrival arrival = receiveDatagram(socket_fd.get(), buffer);
    if (arrival.size >= 0 && !isTrustedArrival(arrival.interface_name)) {
      reportDrop(drops, arrival);  // nothing written, nothing spooled
    } else {
      if (arrival.size > 0) {
        std::fwrite(buffer.data(), 1, static_cast<size_t>(arrival.size), file.get());
      } else if (arrival.size < 0) {
        MGM_LOG(3, "Error in UDPServer: Could not read incoming stream");
      }
      file.reset();
      if (handleIncomingFile() != 0) MGM_LOG(3, "Error in UDPServer: Could not rename file");
    }
    usleep(200);
  }
  return nullptr;
}
