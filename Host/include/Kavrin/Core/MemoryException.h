#pragma once

#include <cstdint>
#include <string>

#include "Kavrin/Core/Exception.h"

namespace Kavrin::Core {

using TagRequestedSize = boost::error_info<struct TagRequestedSizeTag, std::uint64_t>;

// Raised when a requested allocation cannot be served; carries the size asked for.
class MemoryException : public Exception {
public:
    MemoryException() = default;
    MemoryException(const std::string& text, std::uint64_t size);
    std::uint64_t GetSize() const noexcept { return size; }

private:
    std::uint64_t size = 0;
};

}  // namespace Kavrin::Core
