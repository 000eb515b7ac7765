// The logging library: every record goes to standard error as one line and
// to syslog with the level as its priority. When standard error is the
// journal (systemd says so in JOURNAL_STREAM), the line goes there alone,
// prefixed "<level>" so that the journal keeps the record's priority, and
// the syslog copy is left out: each record reaches the journal once.
//
// Line format: "YYYY-MM-DD hh:mm:ss.mmm <program>[<pid>] <LEVEL> <file>:<line>: <message>"
// where <file> is the base name of the calling source file. Line breaks
// inside a message become spaces so that a record never spans two lines.
#include "Logging.h"

#include <errno.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

std::mutex log_mutex;
// openlog keeps the pointer it is given, so the name lives here for good.
char program_name[128] = "";

const char* levelName(int level) {
  static const char* const names[] = {"EMERG",   "ALERT",  "CRIT", "ERROR",
                                      "WARNING", "NOTICE", "INFO", "DEBUG"};
  return level >= 0 && level <= 7 ? names[level] : "LEVEL";
}

const char* baseName(const char* file) {
  if (!file) return "?";
  const char* slash = std::strrchr(file, '/');
  return slash ? slash + 1 : file;
}

std::string formatMessage(const char* fmt, va_list args) {
  if (!fmt) return std::string();
  va_list again;
  va_copy(again, args);
  char small[512];
  int needed = vsnprintf(small, sizeof small, fmt, args);
  std::string text;
  if (needed < 0) {
    text = fmt;
  } else if (static_cast<size_t>(needed) < sizeof small) {
    text.assign(small, static_cast<size_t>(needed));
  } else {
    text.resize(static_cast<size_t>(needed) + 1);
    vsnprintf(&text[0], text.size(), fmt, again);
    text.resize(static_cast<size_t>(needed));
  }
  va_end(again);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  for (char& c : text)
    if (c == '\n' || c == '\r') c = ' ';
  return text;
}

std::string timestamp() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char text[64];
  size_t n = strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  snprintf(text + n, sizeof text - n, ".%03ld", now.tv_nsec / 1000000);
  return text;
}

// True when standard error is the journal's stream: JOURNAL_STREAM holds
// "<device>:<inode>" of the stream systemd connected, and stderr is still it.
bool stderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  uintmax_t device = 0, inode = 0;
  struct stat st {};
  if (!stream || std::sscanf(stream, "%" SCNuMAX ":%" SCNuMAX, &device, &inode) != 2 ||
      fstat(STDERR_FILENO, &st) != 0)
    return false;
  return static_cast<uintmax_t>(st.st_dev) == device && static_cast<uintmax_t>(st.st_ino) == inode;
}

// Writes the whole buffer; one write(2) unless the kernel takes less.
void writeAll(int fd, const std::string& data) {
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

void Logging::SetName(const char* name) {
  std::lock_guard<std::mutex> lock(log_mutex);
  snprintf(program_name, sizeof program_name, "%s", name ? name : "");
  closelog();
  openlog(program_name, LOG_PID, LOG_DAEMON);
}

void Logging::Message(LOGGING_LEVEL level, const char* file, int line, const char* fmt, ...) {
  int saved_errno = errno;
  va_list args;
  va_start(args, fmt);
  std::string text = formatMessage(fmt, args);
  va_end(args);

  const int priority = level < LOG_EMERG ? LOG_EMERG : level > LOG_DEBUG ? LOG_DEBUG : level;
  const char* base = baseName(file);
  char where[64];
  snprintf(where, sizeof where, "[%d] %s ", static_cast<int>(getpid()), levelName(level));

  std::lock_guard<std::mutex> lock(log_mutex);
  static const bool to_journal = stderrIsJournal();
  const char* name = program_name[0] ? program_name : program_invocation_short_name;
  std::string record =
      timestamp() + " " + name + where + base + ":" + std::to_string(line) + ": " + text + "\n";
  if (to_journal) {
    writeAll(STDERR_FILENO, "<" + std::to_string(priority) + ">" + record);
  } else {
    writeAll(STDERR_FILENO, record);
    syslog(priority, "%s:%d: %s", base, line, text.c_str());
  }
  errno = saved_errno;
}
