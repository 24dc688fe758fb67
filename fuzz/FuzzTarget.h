#pragma once

#include <cstddef>
#include <cstdint>

// The entry points of a fuzz target: each target defines them, and libFuzzer or the replay
// main (ReplayMain.cpp) calls them.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);
// Only some targets have one.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);
