#include "system/Shell.h"

#include "env/Env.h"

namespace {

// Characters no shell treats specially anywhere inside an argument word.
bool isPlainWordCharacter(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '.':
    case '_':
    case '-':
    case ':':
    case '/':
    case '@':
    case '+':
    case ',':
    case '=':
    case '%':
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string runCommand(const char* command) { return Env::current().runCommand(command); }

int runForStatus(const std::string& command) { return Env::current().runForStatus(command); }

std::string shellWord(const std::string& value) {
  bool plain = !value.empty();
  for (char c : value) {
    if (!isPlainWordCharacter(c)) {
      plain = false;
      break;
    }
  }
  if (plain) return value;
  std::string word = "'";
  for (char c : value) {
    if (c == '\'') {
      word += "'\\''";
    } else {
      word += c;
    }
  }
  word += '\'';
  return word;
}
