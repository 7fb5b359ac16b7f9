#pragma once

#include <functional>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/Conf/ColorSpace.h"
#include "Kavrin/Conf/FrameInfo.h"
#include "Kavrin/PixFmt.h"
#include "Kavrin/Proc/IDataVideo.h"

namespace Kavrin::Proc {

// Pipeline video data that lives on a GPU. Owns the format, geometry and colour
// space it was created with; subclasses own the GPU resources and say which
// threads may call them.
class DataVideoGPU : public IDataVideo {
public:
    using Creator = std::function<boost::intrusive_ptr<DataVideoGPU>(
        const Conf::ColorSpace&, PixFmt, const Conf::FrameInfo&)>;

    // Factory of OpenGL-backed video objects; set by the GL library while it is
    // initialised, empty otherwise. Not synchronised: set and cleared by the
    // library's initialising thread.
    static Creator CreatorOGL;

    FrameAllocType GetType() const override { return FrameAllocType::GPU; }
    const Conf::FrameInfo& GetFrameInfo() const override { return frameInfo; }
    PixFmt GetPixelFormat() const override { return pixFmt; }
    const Conf::ColorSpace& GetColorSpace() const override { return colorSpace; }

protected:
    DataVideoGPU() = default;
    DataVideoGPU(const Conf::ColorSpace& colorSpace, PixFmt pixFmt,
                 const Conf::FrameInfo& frameInfo)
        : colorSpace(colorSpace), pixFmt(pixFmt), frameInfo(frameInfo) {}
    DataVideoGPU(const DataVideoGPU&) = default;

    Conf::ColorSpace colorSpace;
    PixFmt pixFmt = PixFmt::None;
    Conf::FrameInfo frameInfo;
};

}  // namespace Kavrin::Proc
