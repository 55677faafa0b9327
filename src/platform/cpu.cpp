// Processor features from the system's auxiliary vector.
#include "platform/cpu.h"

#if defined(__aarch64__) && defined(__linux__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace quelta::platform {

bool cpu_has_pmull() {
#if defined(__aarch64__) && defined(__linux__)
  return (getauxval(AT_HWCAP) & HWCAP_PMULL) != 0;
#else
  return false;
#endif
}

}  // namespace quelta::platform
