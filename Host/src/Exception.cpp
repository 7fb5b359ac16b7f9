#include "Kavrin/Core/Exception.h"

#include <boost/stacktrace.hpp>

#include "Kavrin/Core/MemoryException.h"

namespace Kavrin {

std::string GetCallStack() { return boost::stacktrace::to_string(boost::stacktrace::stacktrace()); }

const char* Exception::what() const noexcept {
    if (const std::string* description = boost::get_error_info<TagDescription>(*this)) {
        return description->c_str();
    }
    return "Kavrin::Exception";
}

std::string Exception::GetDescription() const {
    const std::string* description = boost::get_error_info<TagDescription>(*this);
    return description ? *description : std::string();
}

namespace Core {

MemoryException::MemoryException(const std::string& text, std::uint64_t size) : size(size) {
    *this << TagDescription(text) << TagRequestedSize(size);
}

}  // namespace Core
}  // namespace Kavrin
