// The registry request's state: whether it must be written again, whether a
// written one waits to be posted, and the back-off after refused posts. This
// module alone changes it; the cycle tells it what happened.
#pragma once

// The published model changed; the registry request must be written again.
extern const bool& new_registry_service_file;
// A written registry request waits to be sent.
extern const bool& registry_service_file_send_request;

// The published model changed: the request is to be written.
void registryRequestChanged();
// The outcome of writing the request. Written: it waits to be sent and need
// not be written again. Not written: nothing is sent, and it is due to be
// written again (also the rewrite of a request wiped from the spool).
void registryRequestWritten(bool written);
// The outcome of posting the request. Accepted: nothing waits and the
// back-off starts afresh. Refused: it stays pending and the next attempt
// waits 10 s after the first failure, then 20 s, 40 s ... at most 600 s,
// said at level 3.
void registryRequestPosted(bool accepted);
// A pending request is sent once its back-off has passed; a stop's
// withdrawal (`running` false) at once.
bool registryRequestSendDue(bool running);
// Nothing to write, nothing pending, no back-off: the state of a new process.
void resetRegistryRequestState();
