#pragma once

namespace Kavrin::Test {

// glog set up for tests: everything reaches log sinks, nothing goes to files or
// stderr unless RENDERHUB_TEST_LOG is set.
void InitTestLogging(const char* program);

// The QGuiApplication every Qt OpenGL object needs; created once, on the
// calling (main) thread.
void EnsureGuiApplication();
// Destroys it before static destruction, which Qt does not survive.
void DestroyGuiApplication();

}  // namespace Kavrin::Test
