#pragma once

#include <functional>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/Conf/ColorSpace.h"
#include "Kavrin/Conf/FrameInfo.h"
#include "Kavrin/Core/RefCount.h"
#include "Kavrin/PixFmt.h"

namespace Kavrin::Proc {

// Pipeline video data that lives on a GPU.
class DataVideoGPU : public IRefCountable {
public:
    using Creator = std::function<boost::intrusive_ptr<DataVideoGPU>(
        const Conf::ColorSpace&, PixFmt, const Conf::FrameInfo&)>;

    // Factory of OpenGL-backed video objects; set by the GL library while it is
    // initialised, empty otherwise. Not synchronised: set and cleared by the
    // library's initialising thread.
    static Creator CreatorOGL;

protected:
    DataVideoGPU() = default;
    DataVideoGPU(const DataVideoGPU&) = default;
};

}  // namespace Kavrin::Proc
