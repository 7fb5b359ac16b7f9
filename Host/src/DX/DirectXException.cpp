#include "Kavrin/DX/DirectXException.h"

#include <array>
#include <cstdio>

#include "Kavrin/Win/DXGI.h"

namespace Kavrin::DX {
namespace {

struct ResultText {
    HRESULT result;
    const char* name;
    const char* description;
};

// Names and texts as the Windows SDK documents them.
constexpr std::array kResults{
    ResultText{S_OK, "S_OK", "The operation completed successfully."},
    ResultText{S_FALSE, "S_FALSE", "The operation completed with a false result."},
    ResultText{E_NOTIMPL, "E_NOTIMPL", "Not implemented."},
    ResultText{E_NOINTERFACE, "E_NOINTERFACE", "No such interface supported."},
    ResultText{E_POINTER, "E_POINTER", "Invalid pointer."},
    ResultText{E_ABORT, "E_ABORT", "Operation aborted."},
    ResultText{E_FAIL, "E_FAIL", "Unspecified error."},
    ResultText{E_UNEXPECTED, "E_UNEXPECTED", "Catastrophic failure."},
    ResultText{E_ACCESSDENIED, "E_ACCESSDENIED", "Access is denied."},
    ResultText{E_HANDLE, "E_HANDLE", "The handle is invalid."},
    ResultText{E_OUTOFMEMORY, "E_OUTOFMEMORY",
               "Not enough memory resources are available to complete this operation."},
    ResultText{E_INVALIDARG, "E_INVALIDARG", "The parameter is incorrect."},
    ResultText{HRESULT_FROM_WIN32(ERROR_INVALID_DATA), "HRESULT_FROM_WIN32(ERROR_INVALID_DATA)",
               "The data is invalid."},
    ResultText{HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED), "HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED)",
               "The request is not supported."},
    ResultText{HRESULT_FROM_WIN32(ERROR_OPEN_FAILED), "HRESULT_FROM_WIN32(ERROR_OPEN_FAILED)",
               "The system cannot open the device or file specified."},
    ResultText{HRESULT_FROM_WIN32(ERROR_LOCK_FAILED), "HRESULT_FROM_WIN32(ERROR_LOCK_FAILED)",
               "Unable to lock a region of a file."},
    ResultText{HRESULT_FROM_WIN32(ERROR_BUSY), "HRESULT_FROM_WIN32(ERROR_BUSY)",
               "The requested resource is in use."},
    ResultText{static_cast<HRESULT>(WAIT_TIMEOUT), "WAIT_TIMEOUT", "The wait operation timed out."},
    ResultText{DXGI_ERROR_INVALID_CALL, "DXGI_ERROR_INVALID_CALL",
               "The application made a call that is invalid. Either the parameters of the call "
               "or the state of some object was incorrect."},
    ResultText{DXGI_ERROR_NOT_FOUND, "DXGI_ERROR_NOT_FOUND", "The object was not found."},
    ResultText{DXGI_ERROR_UNSUPPORTED, "DXGI_ERROR_UNSUPPORTED",
               "The specified device interface or feature level is not supported on this "
               "system."},
    ResultText{DXGI_ERROR_DEVICE_REMOVED, "DXGI_ERROR_DEVICE_REMOVED",
               "The GPU device instance has been suspended. Use GetDeviceRemovedReason to "
               "determine the appropriate action."},
    ResultText{DXGI_ERROR_DEVICE_HUNG, "DXGI_ERROR_DEVICE_HUNG",
               "The GPU will not respond to more commands, most likely because of an invalid "
               "command passed by the calling application."},
    ResultText{DXGI_ERROR_DEVICE_RESET, "DXGI_ERROR_DEVICE_RESET",
               "The GPU will not respond to more commands, most likely because some other "
               "application submitted invalid commands."},
    ResultText{DXGI_ERROR_DRIVER_INTERNAL_ERROR, "DXGI_ERROR_DRIVER_INTERNAL_ERROR",
               "An internal issue prevented the driver from carrying out the specified "
               "operation."},
    ResultText{DXGI_ERROR_ACCESS_LOST, "DXGI_ERROR_ACCESS_LOST",
               "The desktop duplication interface is invalid."},
    ResultText{DXGI_ERROR_WAIT_TIMEOUT, "DXGI_ERROR_WAIT_TIMEOUT",
               "The time-out interval elapsed before the next desktop frame was available."},
};

std::string Hex(HRESULT result) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(result));
    return text;
}

}  // namespace

std::pair<std::string, std::string> GetResultInfo(HRESULT result) {
    for (const ResultText& known : kResults) {
        if (known.result == result)
            return {std::string(known.name) + " (" + Hex(result) + ")", known.description};
    }
    const auto bits = static_cast<std::uint32_t>(result);
    if ((bits >> 16) == (0x8000u | FACILITY_WIN32)) {
        return {Hex(result), "Win32 error " + std::to_string(bits & 0xFFFF) + " as an HRESULT."};
    }
    return {Hex(result), FAILED(result) ? "Unknown error." : "Unknown success code."};
}

HRESULT DirectXException::GetResult() const {
    const HRESULT* result = boost::get_error_info<HResult>(*this);
    return result ? *result : E_FAIL;
}

std::string DirectXException::GetResultDescription() const {
    auto [code, description] = GetResultInfo(GetResult());
    return code + ": " + description;
}

}  // namespace Kavrin::DX
