// The update loop: the rest of the program's life after start-up.
#pragma once

#include <cstdint>
#include <string>

// What the loop keeps from the version manifest for its whole life.
struct UpdateLoopState {
  int32_t nOverallVersion;
  int32_t nImageVersion;   // of image type 1
  std::string sImageFile;  // of image type 1, 8-bit text in the ANSI code page
};

// Reads the manifest, prints the versions and the connect prompt (once).
UpdateLoopState PrepareUpdateLoop();

// One pass of the waiting loop: poll the connection, test for a key, and on a key either
// report that no locator is connected or run one update attempt, after which the keys
// pressed meanwhile are discarded.
void RunUpdateLoopPass(const UpdateLoopState& state);

// One update attempt on the connected locator; returns its error code (0 on success).
int32_t RunUpdateAttempt(const UpdateLoopState& state);

// Preparation, then passes for ever.
[[noreturn]] void RunUpdateLoop();
