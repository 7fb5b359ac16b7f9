#pragma once

#include <chrono>

namespace Kavrin::Test {

// A test binary's main: logging, the hang guard, and with `sharedLibrary` the
// library initialised around all tests.
int RunTests(int argc, char** argv, bool sharedLibrary);

// glog set up for tests: everything reaches log sinks, nothing goes to files or
// stderr unless RENDERHUB_TEST_LOG is set.
void InitTestLogging(const char* program);

// The QGuiApplication every Qt OpenGL object needs; created once, on the
// calling (main) thread.
void EnsureGuiApplication();
// Destroys it before static destruction, which Qt does not survive.
void DestroyGuiApplication();

// Every test gets a time limit (120 s unless changed here for the running
// test); one still running past it dumps every thread's stack and aborts, so a
// hang fails fast with a diagnosis instead of running into the CTest timeout.
void InstallHangGuard();
void LimitCurrentTest(std::chrono::seconds limit);

}  // namespace Kavrin::Test
