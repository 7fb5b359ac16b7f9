#pragma once

#include <chrono>

namespace Kavrin::Test {

// A test binary's main: logging, the hang guard, and with `sharedLibrary` the
// library initialised around all tests.
int RunTests(int argc, char** argv, bool sharedLibrary);

// The QGuiApplication every Qt OpenGL object needs; created once, on the
// calling (main) thread, and destroyed before static destruction, which Qt does
// not survive.
void EnsureGuiApplication();

// Every test gets a time limit (120 s unless changed here for the running
// test); one still running past it dumps every thread's stack and aborts, so a
// hang fails fast with a diagnosis instead of running into the CTest timeout.
void LimitCurrentTest(std::chrono::seconds limit);

}  // namespace Kavrin::Test
