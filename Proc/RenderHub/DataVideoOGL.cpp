#include <GL/glew.h>

#include "DataVideoOGL.h"

#include <stdexcept>
#include <string>

#include <glog/logging.h>

#include "Kavrin/Core/Exception.h"
#include "Kavrin/Core/MemoryException.h"

#include "RenderHub.h"
#include "ShaderStorage.h"
#include "Texture.h"

namespace Kavrin::Ogl {
namespace {

// Clears the whole frame to one colour.
class FillTask : public IOglTask {
public:
    explicit FillTask(const Proc::Color& color)
        : IOglTask(OglCapability::Minimal, "FillOglTask"),
          red(color.red / 255.0f),
          green(color.green / 255.0f),
          blue(color.blue / 255.0f),
          alpha(color.alpha / 255.0f) {}

private:
    void DoExecute(OglCapability, const ShaderStorage& storage) override {
        storage.FBO().Attach(*GetFrame()->GetFirstTexture());
        glClearColor(red, green, blue, alpha);
        glClear(GL_COLOR_BUFFER_BIT);
        glFlush();
    }

    float red;
    float green;
    float blue;
    float alpha;
};

}  // namespace

boost::intrusive_ptr<DataVideoOGL> DataVideoOGL::Create(const Conf::ColorSpace& colorSpace,
                                                        PixFmt pixFmt,
                                                        const Conf::FrameInfo& frameInfo) {
    const std::uint64_t max = RenderHub::GetInstance().GetMaximumTextureSize();
    if (static_cast<std::uint64_t>(frameInfo.height) > max ||
        static_cast<std::uint64_t>(frameInfo.width) > max) {
        const std::uint32_t area = static_cast<std::uint32_t>(frameInfo.width) *
                                   static_cast<std::uint32_t>(frameInfo.height);
        KAVRIN_THROW_FROM(
            "Create",
            Core::MemoryException(
                "OpenGL does not support textures large than " + std::to_string(max), area));
    }
    return boost::intrusive_ptr<DataVideoOGL>(
        new DataVideoOGL(colorSpace, pixFmt, frameInfo, nullptr));
}

boost::intrusive_ptr<Proc::DataVideoGPU> DataVideoOGL::CreateGPU(const Conf::ColorSpace& colorSpace,
                                                                 PixFmt pixFmt,
                                                                 const Conf::FrameInfo& frameInfo) {
    return Create(colorSpace, pixFmt, frameInfo);
}

DataVideoOGL::DataVideoOGL(const Conf::ColorSpace& colorSpace, PixFmt pixFmt,
                           const Conf::FrameInfo& frameInfo,
                           boost::intrusive_ptr<DataVideoOGL> newParent)
    : DataVideoGPU(colorSpace, pixFmt, frameInfo),
      frame(newParent ? newParent->frame : Frame::Create()),
      parent(std::move(newParent)) {}

DataVideoOGL::DataVideoOGL(const DataVideoOGL& other)
    : DataVideoGPU(other),
      frame(other.frame),
      parent(other.parent),
      tasks(other.tasks),
      dependencies(other.dependencies) {}

DataVideoOGL::~DataVideoOGL() {
    dependencies.clear();
    RenderHub& hub = RenderHub::GetInstance();
    if (hub.IsInitialized()) {
        for (auto task = tasks.rbegin(); task != tasks.rend(); ++task) {
            try {
                hub.CancelTask(*task);
            } catch (const std::exception&) {
                // Deinitialised meanwhile: nothing queued there to cancel.
            }
        }
    } else if (!tasks.empty()) {
        VLOG(20) << "Cannot cancel tasks of DataVideoOGL because RenderHub isn't initiliazed";
    }
}

void DataVideoOGL::AttachTask(boost::intrusive_ptr<IOglTask> task) {
    if (parent) {
        KAVRIN_THROW_FROM("AttachTask", std::logic_error("Can't attach tasks to cloned data"));
    }
    if (!task) {
        KAVRIN_THROW_FROM("AttachTask", std::logic_error("Can't attach empty task"));
    }
    task->AttachFrame(frame, colorSpace, pixFmt, frameInfo);
    tasks.push_back(std::move(task));
}

void DataVideoOGL::AddDependency(const boost::intrusive_ptr<DataVideoOGL>& dependency) {
    if (parent) {
        KAVRIN_THROW_FROM("AddDependency",
                          std::logic_error("Can't add dependency for cloned data"));
    }
    if (!dependency) {
        KAVRIN_THROW_FROM("AddDependency", std::logic_error("Can't add empty dependency"));
    }
    dependencies.push_back(dependency);
}

void DataVideoOGL::Execute(bool wait) {
    DataVideoOGL* root = this;
    while (root->parent) {
        root = root->parent.get();
    }
    for (auto& dependency : root->dependencies) {
        dependency->Execute(false);
        dependency.reset();
    }
    root->dependencies.clear();
    boost::intrusive_ptr<IOglTask> last;
    for (auto& task : root->tasks) {
        RenderHub::GetInstance().DispatchTask(task);
        last = task;
    }
    root->tasks.clear();
    if (wait && last) {
        last->WaitUntilExecuted();
    }
}

boost::intrusive_ptr<Frame> DataVideoOGL::FrameData() {
    if (!frame->IsValid()) {
        frame->Allocate(colorSpace, pixFmt, frameInfo);
    }
    return frame;
}

boost::intrusive_ptr<Proc::IDataVideo> DataVideoOGL::Clone(Proc::CloneMode mode) const {
    if (mode == Proc::CloneMode::Deep) {
        KAVRIN_THROW_FROM("Clone", std::logic_error("Deep clone mode is not implemented"));
    }
    // Clones never chain: a clone of a clone hangs off the primary object.
    boost::intrusive_ptr<DataVideoOGL> primary =
        parent ? parent : boost::intrusive_ptr<DataVideoOGL>(const_cast<DataVideoOGL*>(this));
    boost::intrusive_ptr<DataVideoOGL> clone(
        new DataVideoOGL(colorSpace, pixFmt, frameInfo, primary));
    clone->timeStamp = timeStamp;
    clone->duration = duration;
    return clone;
}

void DataVideoOGL::PicturePad(unsigned top, unsigned bottom, unsigned left, unsigned right,
                              const Proc::Color& color) {
    if (top + bottom >= static_cast<unsigned>(frameInfo.height) ||
        left + right >= static_cast<unsigned>(frameInfo.width)) {
        AttachTask(boost::intrusive_ptr<IOglTask>(new FillTask(color)));
        return;
    }
    KAVRIN_THROW_HOST("PicturePad", Exception, "Custom padding is not implemented");
}

}  // namespace Kavrin::Ogl
