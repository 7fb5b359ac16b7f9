#pragma once

#include "Kavrin/Core/Exception.h"

namespace Kavrin::Proc {

// Failures of the media-processing layer (the GL facade among them).
class ProcException : public Exception {};

}  // namespace Kavrin::Proc
