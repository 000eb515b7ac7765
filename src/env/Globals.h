// Process-wide constants and flags shared by the daemon's parts.
//
// The constants are built before main runs and never change: the daemon
// takes no arguments, reads no configuration and no environment.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

extern const std::string spool_directory;  // ends in "/"
extern const std::string incoming_file_name;
extern const std::string registry_file_name;
extern const std::string xml_extension;
// A file is written under its name with this appended and renamed into
// place when complete.
extern const std::string partial_extension;
extern const std::string client_certificate_path;
extern const std::string ca_certificate_path;
extern const std::string registry_host;
extern const std::string registry_api_version;
extern const std::string trusted_zone;
extern const std::string untrusted_zone;
extern const std::string receiver_port;
extern const std::string receive_buffer_size;

// The receiver loops while this is true. Written by the main thread, read by
// the receiver thread.
extern std::atomic<bool> run_thread;
// Seconds after which a spooled file is deleted; nothing changes it.
extern const int32_t max_file_age;
// The device may use the IoT function (decided by each created phase).
extern bool tarn_is_iot;

// The spool directory of the current Env (normally `spool_directory`).
// Always ends in "/".
const std::string& spoolDirectory();
