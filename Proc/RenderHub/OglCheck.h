#pragma once

#include <GL/glew.h>

namespace Kavrin::Ogl {

namespace Details {

// Logs the OpenGL error pending when the scope ends (one error; the rest stay
// queued). GL thread only.
class OglStateChecker {
public:
    explicit OglStateChecker(const char* name) : name(name) {}
    ~OglStateChecker();
    OglStateChecker(const OglStateChecker&) = delete;
    OglStateChecker& operator=(const OglStateChecker&) = delete;

private:
    const char* name;
};

// Logs an OpenGL value that was never initialised. Any thread.
void CheckVar(bool initialized, const char* name);

}  // namespace Details

// Enables one OpenGL capability for the lifetime of the scope and disables it at
// the end, whatever its state before. GL thread only.
class EnableState {
public:
    explicit EnableState(unsigned capability);
    ~EnableState();
    EnableState(const EnableState&) = delete;
    EnableState& operator=(const EnableState&) = delete;

private:
    unsigned capability;
};

}  // namespace Kavrin::Ogl
