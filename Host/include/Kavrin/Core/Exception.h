#pragma once

#include <exception>
#include <string>

#include <boost/assert/source_location.hpp>
#include <boost/exception/error_info.hpp>
#include <boost/exception/exception.hpp>
#include <boost/exception/get_error_info.hpp>
#include <boost/exception/info.hpp>
#include <boost/throw_exception.hpp>

namespace Kavrin {

using TagDescription = boost::error_info<struct TagDescriptionTag, std::string>;
using TagCallStack = boost::error_info<struct TagCallStackTag, std::string>;

// The call stack of the calling thread as text, one frame per line. Thread-safe.
std::string GetCallStack();

// Base of the host's exceptions: the description travels as TagDescription so
// that boost::diagnostic_information shows it with the throw location.
class Exception : public virtual std::exception, public virtual boost::exception {
public:
    const char* what() const noexcept override;
    // The attached description, or an empty string.
    std::string GetDescription() const;
};

namespace Details {
template <class E>
E AttachDescription(E exception, std::string description) {
    exception << TagDescription(std::move(description)) << TagCallStack(GetCallStack());
    return exception;
}
}  // namespace Details

}  // namespace Kavrin

// Throws with a fixed function name in the throw location; BOOST_THROW_EXCEPTION
// would record the full signature instead.
#define KAVRIN_THROW_FROM(function, exception) \
    ::boost::throw_exception(exception, ::boost::source_location(__FILE__, __LINE__, function))

// Throws a host exception of type E with its description and the call stack.
#define KAVRIN_THROW_HOST(function, E, description) \
    KAVRIN_THROW_FROM(function, ::Kavrin::Details::AttachDescription(E(), description))
