// The parts of the message-bus library that hold no connection: the names of
// a participant and the interfaces' destructors. The tests' platform double
// compiles this file too.
#include "MessageBus.h"

MessageBusNames::MessageBusNames(const char* connectionName, const char* objectPath, const char*)
    : connection_name_(connectionName ? connectionName : ""), object_path_(objectPath ? objectPath : "") {}
MessageBusNames::~MessageBusNames() = default;
const char* MessageBusNames::GetConnectionName() const { return connection_name_.c_str(); }
const char* MessageBusNames::GetObjectPath() const { return object_path_.c_str(); }

MessageBus::~MessageBus() = default;
MessageHandler::~MessageHandler() = default;
