#include "intake/Receiver.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "Logging.h"
#include "env/Env.h"
#include "env/Globals.h"
#include "env/SpoolDirectory.h"
#include "intake/Spool.h"

namespace {

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

// One received datagram: its whole size (also beyond the buffer), whether
// the buffer cut it, where it came from and the interface it arrived on (""
// when the kernel did not say).
struct Arrival {
  ssize_t size;
  bool cut;
  sockaddr_in sender;
  std::string interface_name;
};

Arrival receiveDatagram(int fd, std::vector<char>& buffer) {
  Arrival arrival{-1, false, {}, {}};
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
    // MSG_TRUNC: the size of the whole datagram, so a cut one is told apart.
    arrival.size = recvmsg(fd, &message, MSG_TRUNC);
  }
  if (arrival.size < 0) return arrival;
  arrival.cut = (message.msg_flags & MSG_TRUNC) != 0 || static_cast<size_t>(arrival.size) > buffer.size();
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

// The sender as "address:port".
std::string senderText(const Arrival& arrival) {
  char sender[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &arrival.sender.sin_addr, sender, sizeof(sender));
  return std::string(sender) + ":" + std::to_string(ntohs(arrival.sender.sin_port));
}

// Logs a datagram dropped for its arrival interface, at most once a minute.
void reportDrop(DropReport& report, const Arrival& arrival) {
  const uint32_t count = report.dropped(Env::current().now());
  if (count == 0) return;
  MGM_LOG(3, "Dropped %u datagram(s) from outside the Trusted zone; latest from %s on interface %s", count,
          senderText(arrival).c_str(),
          arrival.interface_name.empty() ? "unknown" : arrival.interface_name.c_str());
}

// Logs a datagram dropped for its size, at most once a minute.
void reportOversized(DropReport& report, const Arrival& arrival, size_t limit) {
  if (const uint32_t count = report.dropped(Env::current().now()))
    MGM_LOG(3, "Error in UDPServer: dropped %u datagram(s) longer than %zu bytes; latest %zd bytes from %s",
            count, limit, arrival.size, senderText(arrival).c_str());
}

// Logs a datagram dropped because the spool is refused, at most once a
// minute.
void reportRefusedSpool(DropReport& report, const SpoolDirectory& spool) {
  if (const uint32_t count = report.dropped(Env::current().now()))
    MGM_LOG(3, "Error in UDPServer: dropped %u datagram(s), spool directory %s refused: %s", count,
            spoolDirectory().c_str(), spool.problem().c_str());
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

namespace {

// Start-up failures and a spool that is gone end the process. _exit, not
// exit: the main thread may be using the process-wide constants that exit's
// destructors would tear down.
[[noreturn]] void endProcess(const char* message) {
  MGM_LOG(3, "%s", message);
  _exit(1);
}

// Errors that a full spool or a flood of descriptors causes: the datagram is
// lost, the receiver goes on.
bool isResourceShortage(int error) {
  return error == ENOSPC || error == EDQUOT || error == EMFILE || error == ENFILE;
}

// Logs a datagram dropped for a resource shortage, at most once a minute.
void reportShortage(DropReport& report, int error) {
  if (const uint32_t count = report.dropped(Env::current().now()))
    MGM_LOG(3, "Error in UDPServer: dropped %u datagram(s), the spool is full or out of descriptors (%s)",
            count, std::strerror(error));
}

// Writes all of `size` bytes; false with errno set otherwise.
bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = ENOSPC;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// Opens the socket: IP_PKTINFO is on before the port is bound, so every
// datagram says where it arrived.
int openSocket(const std::string& port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) endProcess("Error in UDPServer: Could not create socket");
  UniqueFd guard(fd);

  const unsigned long port_number = std::strtoul(port.c_str(), nullptr, 0);
  // "to big": the log's readers match this text as it has always been.
  if (port_number >= 65536) endProcess("UDP Port is to big! (cast to unsigned short: max is 65535)");

  // A burst of announcements waits in the socket's buffer while the files
  // are written one by one; the kernel's default holds fewer than a hundred.
  sizeReceiveBuffer(fd, RECEIVE_BUFFER_NEEDED);

  // Components live on the Trusted side: only datagrams that arrived on the
  // Trusted interface or loopback are spooled, so a receiver that cannot
  // tell must not run.
  const int on = 1;
  if (setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof(on)) != 0)
    endProcess("Error in UDPServer: Could not ask for the arrival interface (IP_PKTINFO)");

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(port_number));
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
    endProcess("Error in UDPServer: Could not bind socket");
  return guard.release();
}

}  // namespace

int receiverSocket(const std::string& port) {
  // Never destroyed: each port stays the daemon's until the process ends.
  static auto* sockets = new std::map<std::string, int>;
  static std::mutex mutex;
  const std::lock_guard<std::mutex> lock(mutex);
  const auto found = sockets->find(port);
  if (found != sockets->end()) return found->second;
  const int fd = openSocket(port);
  sockets->emplace(port, fd);
  return fd;
}

void* runReceiver(const std::string& port, const std::string& buffer_size) {
  CancelState not_cancelable(PTHREAD_CANCEL_DISABLE);

  const int socket_fd = receiverSocket(port);
  DropReport drops;
  DropReport shortages;
  DropReport oversized;
  DropReport refusals;

  const std::string temporary = incoming_file_name + xml_extension;
  std::vector<char> buffer(std::strtoul(buffer_size.c_str(), nullptr, 10));
  while (run_thread) {
    // One checked descriptor of the spool for the whole pass: the temporary
    // file is made, written and renamed in that directory, whatever happens
    // to the path meanwhile.
    SpoolDirectory spool = SpoolDirectory::open();
    if (!spool.valid() && spool.error() == ENOENT) endProcess("Error in UDPServer: Could not open File");
    // Opened before the wait: an empty temporary file exists while waiting.
    UniqueFd file(spool.valid() ? createFileAt(spool.fd(), temporary) : -1);
    int open_error = errno;
    if (spool.valid() && file.get() < 0 && !isResourceShortage(open_error))
      endProcess("Error in UDPServer: Could not open File");

    const Arrival arrival = receiveDatagram(socket_fd, buffer);
    // A spool refused before the wait may be fit by now.
    if (!spool.valid() && (spool = SpoolDirectory::open()).valid()) {
      file.reset(createFileAt(spool.fd(), temporary));
      open_error = errno;
    }
    if (arrival.size >= 0 && !isTrustedArrival(arrival.interface_name)) {
      reportDrop(drops, arrival);  // nothing written, nothing spooled
    } else if (!spool.valid()) {
      reportRefusedSpool(refusals, spool);
    } else if (arrival.size >= 0 && arrival.cut) {
      reportOversized(oversized, arrival, buffer.size());  // never spooled cut
    } else if (file.get() < 0) {
      reportShortage(shortages, open_error);
    } else if (arrival.size > 0 && !writeAll(file.get(), buffer.data(), static_cast<size_t>(arrival.size))) {
      const int write_error = errno;
      file.reset();
      Env::current().unlinkAt(spool.fd(), temporary, 0);
      if (isResourceShortage(write_error)) {
        reportShortage(shortages, write_error);
      } else {
        MGM_LOG(3, "Error in UDPServer: Could not write File (%s)", std::strerror(write_error));
      }
    } else {
      if (arrival.size < 0) MGM_LOG(3, "Error in UDPServer: Could not read incoming stream");
      file.reset();
      if (handleIncomingFile(spool.fd()) != 0) MGM_LOG(3, "Error in UDPServer: Could not rename file");
    }
    usleep(200);
  }
  return nullptr;
}
