#pragma once

// The one way into Qt's OpenGL classes: GLEW first, then Qt. qopenglcontext.h
// warns about any earlier GLEW include although only QOpenGLFunctions clashes
// with it, and nothing here uses that; GCC 12 cannot silence #warning, so GLEW's
// guard is hidden for the duration of the include.
#include <GL/glew.h>

#undef __GLEW_H__
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLDebugLogger>
#define __GLEW_H__
