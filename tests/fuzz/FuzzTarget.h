// What every fuzz target shares; included by the target's one source file.
#pragma once

namespace kalvoran::fuzzing {

// An invariant of the code under test: when it does not hold the input is a finding (libFuzzer
// reports the trap as a crash and keeps the input).
inline void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

}  // namespace kalvoran::fuzzing

// AddressSanitizer holds freed memory back (256 MB by default) to catch late uses; the targets
// allocate little per input, so 16 MB catch the same faults, and the process stays small and
// fast (the kernel no longer hands out fresh pages for every allocation).
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=16";
}
