#pragma once

#include <string>
#include <utility>

#include "Kavrin/Win/WinTypes.h"

namespace Kavrin::Core::Utils {

// The code text and the description of an HRESULT (a Win32 error converted with
// HRESULT_FROM_WIN32 included). Thread-safe.
std::pair<std::string, std::string> GetErrorInfo(HRESULT result);

// Lower-cases ASCII letters in place; other bytes (UTF-8 included) stay.
void ToLower(std::string& text);

}  // namespace Kavrin::Core::Utils
