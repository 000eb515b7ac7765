#include "intake/Receiver.h"

#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
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

ssize_t receiveDatagram(int fd, std::vector<char>& buffer) {
  CancelState cancelable(PTHREAD_CANCEL_ENABLE);
  return recv(fd, buffer.data(), buffer.size(), 0);
}

}  // namespace

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

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(port_number));
  if (bind(socket_fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    MGM_LOG(3, "Error in UDPServer: Could not bind socket");
    std::exit(1);
  }

  const std::string temporary = spoolDirectory() + incoming_file_name + xml_extension;
  while (run_thread) {
    // Opened before the wait: an empty temporary file exists while waiting.
    UniqueFile file(std::fopen(temporary.c_str(), "w"));
    if (!file) {
      MGM_LOG(3, "Error in UDPServer: Could not open File");
      std::exit(1);
    }

    std::vector<char> buffer(std::strtoul(buffer_size.c_str(), nullptr, 10));
    const ssize_t received = receiveDatagram(socket_fd.get(), buffer);
    if (received > 0) {
      std::fwrite(buffer.data(), 1, static_cast<size_t>(received), file.get());
    } else if (received < 0) {
      MGM_LOG(3, "Error in UDPServer: Could not read incoming stream");
    }
    file.reset();

    if (handleIncomingFile() != 0) MGM_LOG(3, "Error in UDPServer: Could not rename file");
    usleep(200);
  }
  return nullptr;
}
