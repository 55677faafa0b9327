// Processor features that the system reports rather than the instruction set
// guarantees (x86 code asks the compiler's own CPU query instead).
#pragma once

namespace quelta::platform {

// ARM64: whether the processor has the 64-bit polynomial multiply (PMULL,
// part of the optional cryptography extension). False on other architectures.
bool cpu_has_pmull();

}  // namespace quelta::platform
