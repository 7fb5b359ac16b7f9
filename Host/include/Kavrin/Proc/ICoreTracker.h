#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/Core/RefCount.h"

namespace Kavrin::Proc {

// The host's record of what its components report about the machine (the OpenGL
// and Direct3D setup among them). This tracker keeps every event it receives, in
// order, so that the host and tests can read them back. Thread-safe.
class ICoreTracker : public IRefCountable {
public:
    using Values = std::map<std::string, std::string>;
    struct Event {
        std::string name;
        Values values;
    };

    // Event and keys of the OpenGL report.
    static const std::string CORE_EVENT_OGL_INFO;
    static const std::string CORE_OGL_VERSION;
    static const std::string CORE_OGL_CAPABILITY;
    static const std::string CORE_OGL_DEVICE_NAME;
    static const std::string CORE_OGL_DX_STATUS;
    static const std::string CORE_OGL_DX_SHARING_STATUS;
    static const std::string CORE_GPU_BRAND_STR;
    static const std::string CORE_GPU_DRIVER_VERSION;
    static const std::string CORE_DIRECTX_LEVEL;
    static const std::string CORE_DIRECTX12_VERSION;

    // The process's tracker.
    static boost::intrusive_ptr<ICoreTracker> GetTracker();

    virtual void ReportEvent(const std::string& event, const Values& values) = 0;
    // Every event received so far, oldest first.
    virtual std::vector<Event> GetEvents() const = 0;
    virtual void ClearEvents() = 0;
};

}  // namespace Kavrin::Proc
