// Intake throughput: runs the real service file receiver on a free loopback
// port with a temporary spool, sends it distinct component service files
// (one datagram each, every one with its own component and service, so each
// gives its own spool file) and counts the spool files it makes.
//
//   mgm-intake-bench [--size BYTES] [--sustained COUNT] [--bursts N,N,...]
//
// Sustained: COUNT files (default 2000) sent paced, at most WINDOW of them
// sent and not yet spooled; reports the files spooled per second.
// Bursts: for each N (default 100,250,500,1000,2000) a fresh receiver gets N
// files sent at once, as fast as possible; reports how many were spooled and
// the largest burst taken without loss. BYTES (default 700, at most 4096) is
// the size of every datagram.
//
// Besides the readable lines it prints "key=value" lines for bench/run.
// Needs the privilege the daemon has to size its receive buffer fully.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "env/Env.h"
#include "env/Globals.h"
#include "intake/Receiver.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int WINDOW = 32;                       // paced: files in flight at most
constexpr auto QUIET = std::chrono::seconds(2);  // no new file for this long: the rest is lost
constexpr auto START_LIMIT = std::chrono::seconds(10);

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "mgm-intake-bench: %s\n", what.c_str());
  std::exit(1);
}

uint16_t freePort() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) fail("no free UDP port");
  socklen_t length = sizeof(address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// A component service file of exactly `size` bytes for component number
// `index` of run `run`: endpoints up to the size, blanks after the root.
std::string datagram(const std::string& run, int index, size_t size) {
  const std::string component = "Plant9/" + run + "C" + std::to_string(index);
  const std::string service = "svc" + std::to_string(index);
  std::vector<std::string> endpoints;
  std::string text = bench::componentServiceFile(component, service, endpoints);
  for (int slot = 1;; ++slot) {
    endpoints.push_back("opcua:TCP:" + std::to_string(slot) + ":10.30." + std::to_string(index / 250) + "." +
                        std::to_string(index % 250 + 1) + ":" + std::to_string(4840 + slot) + "/ua");
    const std::string longer = bench::componentServiceFile(component, service, endpoints);
    if (longer.size() > size) break;
    text = longer;
  }
  if (text.size() < size) text.append(size - text.size(), ' ');
  return text;
}

// The real receiver in its own thread on a fresh spool and a free port,
// stopped the way the stop phase stops it.
class Receiver {
 public:
  Receiver() : spool_("intake-spool"), port_text_(std::to_string(freePort())) {
    watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_ < 0 || inotify_add_watch(watch_, spool_.path().c_str(), IN_MOVED_TO) < 0)
      fail("inotify failed");
    run_thread = true;
    if (pthread_create(&thread_, nullptr, &Receiver::entry, &port_text_) != 0) fail("no receiver thread");
    // Bound once its temporary file is there: it is opened after the bind.
    const std::string temporary = spool_.path() + incoming_file_name + xml_extension;
    const auto limit = Clock::now() + START_LIMIT;
    while (!std::filesystem::exists(temporary)) {
      if (Clock::now() > limit) fail("the receiver did not start");
      usleep(1000);
    }
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver() {
    run_thread = false;
    pthread_cancel(thread_);
    pthread_join(thread_, nullptr);
    close(watch_);
  }

  uint16_t port() const { return static_cast<uint16_t>(std::stoi(port_text_)); }

  // Files renamed into the spool so far (inotify), waiting up to `wait` for
  // the next one when none is pending.
  int spooled(std::chrono::milliseconds wait) {
    pollfd ready{watch_, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(wait.count())) > 0) {
      alignas(inotify_event) char events[64 * 1024];
      ssize_t length;
      while ((length = read(watch_, events, sizeof(events))) > 0) {
        for (ssize_t at = 0; at < length;) {
          const auto* event = reinterpret_cast<const inotify_event*>(events + at);
          if (event->len > 0 && incoming_file_name + xml_extension != event->name) ++renamed_;
          at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
      }
    }
    return renamed_;
  }

  // Waits until `expected` files are spooled or none came for QUIET; returns
  // the time the last one came.
  Clock::time_point settle(int expected) {
    Clock::time_point last = Clock::now();
    int seen = spooled(std::chrono::milliseconds(0));
    while (seen < expected && Clock::now() - last < QUIET) {
      const int now_seen = spooled(std::chrono::milliseconds(50));
      if (now_seen != seen) last = Clock::now();
      seen = now_seen;
    }
    return last;
  }

  // Spool files other than the receiver's temporary file.
  int files() const {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(spool_.path()))
      if (entry.path().filename() != incoming_file_name + xml_extension) ++count;
    return count;
  }

 private:
  static void* entry(void* port) {
    return runReceiver(*static_cast<std::string*>(port), receive_buffer_size);
  }

  bench::TempDir spool_;
  std::string port_text_;
  bench::SpoolEnv env_{spool_.path()};
  ScopedEnv scoped_env_{env_};
  int watch_ = -1;
  int renamed_ = 0;
  pthread_t thread_{};
};

class Sender {
 public:
  explicit Sender(uint16_t port) : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
    address_.sin_family = AF_INET;
    address_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address_.sin_port = htons(port);
  }
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;
  ~Sender() { close(fd_); }
  void send(const std::string& payload) {
    if (sendto(fd_, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&address_),
               sizeof(address_)) != static_cast<ssize_t>(payload.size()))
      fail(std::string("sendto: ") + std::strerror(errno));
  }

 private:
  int fd_;
  sockaddr_in address_{};
};

double seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

void sustained(int count, size_t size) {
  std::vector<std::string> payloads;
  for (int i = 0; i < count; ++i) payloads.push_back(datagram("S", i, size));
  Receiver receiver;
  Sender sender(receiver.port());
  const Clock::time_point start = Clock::now();
  int sent = 0;
  for (const std::string& payload : payloads) {
    // Paced: the next file goes out once fewer than WINDOW are in flight.
    Clock::time_point waiting_since = Clock::now();
    while (sent - receiver.spooled(std::chrono::milliseconds(10)) >= WINDOW) {
      if (Clock::now() - waiting_since > QUIET) break;  // lost ones never arrive
    }
    sender.send(payload);
    ++sent;
  }
  const Clock::time_point last = receiver.settle(count);
  const int spooled = receiver.files();
  const double rate = spooled / seconds(last - start);
  std::printf("sustained (paced, at most %d in flight): %d of %d files of %zu bytes spooled, %.0f files/s\n",
              WINDOW, spooled, count, size, rate);
  std::printf("intake size=%zu sustained_sent=%d sustained_spooled=%d sustained_per_s=%.0f\n", size, count,
              spooled, rate);
}

// The number of files spooled of a burst of `count` sent at once.
int burst(int count, size_t size) {
  std::vector<std::string> payloads;
  const std::string run = "B" + std::to_string(count);
  for (int i = 0; i < count; ++i) payloads.push_back(datagram(run, i, size));
  Receiver receiver;
  Sender sender(receiver.port());
  const Clock::time_point start = Clock::now();
  for (const std::string& payload : payloads) sender.send(payload);
  const Clock::time_point sent = Clock::now();
  const Clock::time_point last = receiver.settle(count);
  const int spooled = receiver.files();
  std::printf("burst of %4d files of %zu bytes: sent in %.1f ms, %d spooled (%s) in %.0f ms\n", count, size,
              seconds(sent - start) * 1000, spooled, spooled == count ? "no loss" : "LOSS",
              seconds(last - start) * 1000);
  std::printf("intake size=%zu burst=%d burst_spooled=%d burst_ms=%.0f\n", size, count, spooled,
              seconds(last - start) * 1000);
  return spooled;
}

std::vector<int> parseList(const std::string& text) {
  std::vector<int> values;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) values.push_back(std::atoi(item.c_str()));
  return values;
}

int usage() {
  std::fprintf(stderr, "usage: mgm-intake-bench [--size BYTES] [--sustained COUNT] [--bursts N,N,...]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  size_t size = 700;
  int sustained_count = 2000;
  std::vector<int> bursts = {100, 250, 500, 1000, 2000};
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc) return usage();
    const std::string value = argv[++i];
    if (option == "--size") {
      size = std::strtoul(value.c_str(), nullptr, 10);
    } else if (option == "--sustained") {
      sustained_count = std::atoi(value.c_str());
    } else if (option == "--bursts") {
      bursts = parseList(value);
    } else {
      return usage();
    }
  }
  if (size < 300 || size > 4096) {
    std::fprintf(stderr, "mgm-intake-bench: --size must lie in 300..4096\n");
    return 2;
  }
  bench::logErrorsToStderr(true);  // the receiver's own complaints

  if (sustained_count > 0) sustained(sustained_count, size);
  int largest = 0;
  for (int count : bursts)
    if (burst(count, size) == count && count > largest) largest = count;
  std::printf("largest burst without loss: %d files of %zu bytes\n", largest, size);
  std::printf("intake size=%zu largest_lossless_burst=%d\n", size, largest);
  return 0;
}
