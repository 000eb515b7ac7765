// libFuzzer entry of one target, chosen by FUZZ_TARGET at compile time.
#include "FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const FuzzFunction target = fuzzTarget(FUZZ_TARGET);
  return target(data, size);
}
