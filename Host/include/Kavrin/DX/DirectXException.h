#pragma once

#include <string>
#include <utility>

#include <boost/exception/error_info.hpp>

#include "Kavrin/Proc/ProcException.h"
#include "Kavrin/Win/WinTypes.h"

namespace Kavrin::DX {

// The HRESULT a DirectX failure carries.
using HResult = boost::error_info<struct HResultTag, HRESULT>;

// A failed Direct3D or DXGI call: the description says what was attempted, the
// attached HResult what the (emulated) driver answered. Immutable once thrown.
class DirectXException : public Proc::ProcException {
public:
    // The attached HRESULT; E_FAIL when none was attached.
    HRESULT GetResult() const;
    // The HRESULT's symbolic name and text, e.g. "DXGI_ERROR_UNSUPPORTED (0x887A0004): ...".
    std::string GetResultDescription() const;
    // The description given at the throw.
    std::string GetErrorDescription() const { return GetDescription(); }
};

// The code text ("DXGI_ERROR_UNSUPPORTED (0x887A0004)", or the bare hexadecimal
// value when the name is unknown) and the description of an HRESULT. Thread-safe.
std::pair<std::string, std::string> GetResultInfo(HRESULT result);

}  // namespace Kavrin::DX

// Throws a DirectXException with a fixed function name, the description and the HRESULT.
#define KAVRIN_THROW_DX(function, result, description)                                      \
    KAVRIN_THROW_FROM(                                                                      \
        function,                                                                           \
        ::Kavrin::Details::AttachDescription(::Kavrin::DX::DirectXException(), description) \
            << ::Kavrin::DX::HResult(result))
