// Logging library of the device platform.
//
// Every record carries the program name set by SetName, the severity, the
// source file and line of the call and a printf-style message. Safe to call
// from several threads at once; each record is written whole.
#pragma once

namespace Logging {

// Severities as syslog numbers them; the daemon uses 2, 3 and 6.
enum LOGGING_LEVEL : int {
  LEVEL_CRITICAL = 2,
  LEVEL_ERROR = 3,
  LEVEL_INFO = 6,
};

// Names the program in every later record. Call once, before any other
// platform call.
void SetName(const char* name);

// Writes one record. `file` and `line` name the call site.
void Message(LOGGING_LEVEL level, const char* file, int line, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

}  // namespace Logging

// Logs at `level` with the caller's file and line.
#define MGM_LOG(level, ...) \
  ::Logging::Message(static_cast<::Logging::LOGGING_LEVEL>(level), __FILE__, __LINE__, __VA_ARGS__)
