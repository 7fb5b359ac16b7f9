#pragma once

namespace Kavrin::Ogl {

// Marks the calling thread as the process's OpenGL thread, replacing any earlier
// one. Thread-safe.
void RegisterOglThread();

// Forgets the OpenGL thread if it is the calling one, so that a later thread that
// reuses its id is not mistaken for it. Thread-safe.
void UnregisterOglThread();

// True only on the thread that registered last. Thread-safe.
bool IsOpenGLThread();

}  // namespace Kavrin::Ogl
