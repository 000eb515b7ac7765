#include "env/Globals.h"

#include "env/DaemonFacts.h"
#include "env/Env.h"

#ifndef MGM_REGISTRY_HOST
#define MGM_REGISTRY_HOST "registry.iot.tarn.invalid"
#endif

const std::string spool_directory = daemon_facts::SPOOL_DIRECTORY;
// "incomming": the spool's readers match this file name as it has always been.
const std::string incoming_file_name = "incomming_client_file";
const std::string registry_file_name = daemon_facts::REGISTRY_FILE_NAME;
const std::string xml_extension = daemon_facts::XML_EXTENSION;
const std::string partial_extension = ".part";
const std::string client_certificate_path = "/var/provisioning/cert/private/ID_Bundle_Certificate.pem";
const std::string ca_certificate_path = "/var/provisioning/cert/public/IoT-ID-Bundle-RootCA.crt";
const std::string registry_host = MGM_REGISTRY_HOST;
const std::string registry_api_version = "v2";
const std::string trusted_zone = "Trusted";
const std::string untrusted_zone = "Untrusted";
const std::string receiver_port = daemon_facts::RECEIVER_PORT;
const std::string receive_buffer_size = std::to_string(daemon_facts::MAX_DATAGRAM_SIZE);

std::atomic<bool> run_thread{true};
const int32_t max_file_age = 1200;
bool tarn_is_iot = false;

const std::string& spoolDirectory() { return Env::current().spoolDirectory(); }
