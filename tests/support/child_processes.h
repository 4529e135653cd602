#pragma once

// Counting the child processes of the test program, to prove that nothing
// was left running or left as a zombie.

#include <chrono>

namespace vt::test {

// Processes whose parent is this process, running or zombie.
int CountChildProcesses();

// Waits (polling /proc) until there are no child processes or `limit` has
// passed; returns the last count.
int WaitForNoChildProcesses(std::chrono::milliseconds limit = std::chrono::seconds(10));

}  // namespace vt::test
