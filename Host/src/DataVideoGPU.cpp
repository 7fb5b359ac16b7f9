#include "Kavrin/Proc/DataVideoGPU.h"

#include "Kavrin/Core/Exception.h"

namespace Kavrin::Proc {

DataVideoGPU::Creator DataVideoGPU::CreatorOGL;

void DataVideoGPU::CutFromBegin(std::int64_t cut) {
    if (cut < 0 || cut > duration) {
        KAVRIN_THROW_HOST("CutFromBegin", Exception, "Cut outside the video data's span");
    }
    timeStamp += cut;
    duration -= cut;
}

void DataVideoGPU::CutFromCenter(std::int64_t offset, std::int64_t keep) {
    if (offset < 0 || keep < 0 || offset + keep > duration) {
        KAVRIN_THROW_HOST("CutFromCenter", Exception, "Cut outside the video data's span");
    }
    timeStamp += offset;
    duration = keep;
}

void DataVideoGPU::CutFromEnd(std::int64_t cut) {
    if (cut < 0 || cut > duration) {
        KAVRIN_THROW_HOST("CutFromEnd", Exception, "Cut outside the video data's span");
    }
    duration -= cut;
}

void DataVideoGPU::SetPixelAspect(int num, int den) {
    if (num < 0 || den < 0) {
        KAVRIN_THROW_HOST("SetPixelAspect", Exception, "Pixel aspect must not be negative");
    }
    frameInfo.aspectNum = num;
    frameInfo.aspectDen = den;
}

Plane DataVideoGPU::GetPlane(unsigned char) {
    KAVRIN_THROW_HOST("GetPlane", Exception, "GPU video data has no CPU planes");
}

ConstPlane DataVideoGPU::GetPlaneConst(unsigned char) const {
    KAVRIN_THROW_HOST("GetPlaneConst", Exception, "GPU video data has no CPU planes");
}

boost::intrusive_ptr<IDataVideo> DataVideoGPU::GetUnusedCopy() const {
    if (!CreatorOGL) {
        KAVRIN_THROW_HOST("GetUnusedCopy", Exception, "No OpenGL video factory is installed");
    }
    return CreatorOGL(colorSpace, pixFmt, frameInfo);
}

boost::intrusive_ptr<IDataVideo> DataVideoGPU::Subframe(int, int, int, int) const {
    KAVRIN_THROW_HOST("Subframe", Exception, "Subframes of GPU video data are not supported");
}

}  // namespace Kavrin::Proc
