#include "cycle/RegistryRequestState.h"

#include <chrono>

#include "Logging.h"
#include "env/Env.h"

namespace {

constexpr std::chrono::seconds FIRST_RETRY_DELAY{10};
constexpr std::chrono::seconds MAX_RETRY_DELAY{600};

bool write_due = false;
bool send_pending = false;
int failed_attempts = 0;  // since the last accepted post
Env::Clock::time_point next_attempt;

// 10 s after the first failure, doubling up to 600 s.
std::chrono::seconds retryDelay(int failures) {
  std::chrono::seconds delay = FIRST_RETRY_DELAY;
  for (int i = 1; i < failures && delay < MAX_RETRY_DELAY; ++i) delay *= 2;
  return delay < MAX_RETRY_DELAY ? delay : MAX_RETRY_DELAY;
}

}  // namespace

const bool& new_registry_service_file = write_due;
const bool& registry_service_file_send_request = send_pending;

void registryRequestChanged() { write_due = true; }

// A request that could not be written is due to be written in the next
// cycle, also when it was the rewrite of one wiped from the spool: a pending
// request is never dropped before the registry took it.
void registryRequestWritten(bool written) {
  write_due = !written;
  send_pending = written;
}

void registryRequestPosted(bool accepted) {
  send_pending = !accepted;
  if (accepted) {
    failed_attempts = 0;
    return;
  }
  ++failed_attempts;
  const std::chrono::seconds delay = retryDelay(failed_attempts);
  next_attempt = Env::current().now() + delay;
  MGM_LOG(3, "Registry did not accept the MachineComponentServices file; next attempt in %lld s",
          static_cast<long long>(delay.count()));
}

bool registryRequestSendDue(bool running) {
  return send_pending && (!running || failed_attempts == 0 || Env::current().now() >= next_attempt);
}

void resetRegistryRequestState() {
  write_due = send_pending = false;
  failed_attempts = 0;
}
