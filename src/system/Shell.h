// The daemon's shell command lines. They run through the current Env (the
// real one runs /bin/sh). Command texts are built by the operation that owns
// them, with every value that came from outside passed through shellWord.
#pragma once

#include <string>

// Runs one command line and returns its whole standard output; throws
// std::runtime_error("popen() failed!").
std::string runCommand(const char* command);
// Runs one command line for its exit status only, capturing nothing;
// returns the status as system(3).
int runForStatus(const std::string& command);

// Returns `value` as exactly one shell word that the shell turns back into
// `value` unchanged. A value made only of characters the shell never
// interprets stands as it is; any other value, and the empty one, is
// single-quoted.
std::string shellWord(const std::string& value);
