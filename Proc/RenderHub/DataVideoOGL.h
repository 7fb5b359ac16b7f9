#pragma once

#include <GL/glew.h>

#include <deque>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/Conf/ColorSpace.h"
#include "Kavrin/Conf/FrameInfo.h"
#include "Kavrin/PixFmt.h"
#include "Kavrin/Proc/DataVideoGPU.h"

#include "Frame.h"
#include "IOglTask.h"

namespace Kavrin::Ogl {

// The pipeline's OpenGL video object: one picture whose pixels live in a GPU
// frame and are produced lazily by tasks, run in order on the GL thread when the
// pipeline executes it. Clones share the primary object's frame and defer all
// work to it. One object is driven by one pipeline thread at a time; FrameData
// runs on the GL thread; reference counts change on any thread.
class DataVideoOGL : public Proc::DataVideoGPU {
public:
    // Throws Core::MemoryException when the picture exceeds the maximum texture size.
    static boost::intrusive_ptr<DataVideoOGL> Create(const Conf::ColorSpace& colorSpace,
                                                     PixFmt pixFmt,
                                                     const Conf::FrameInfo& frameInfo);
    // The factory hook form of Create.
    static boost::intrusive_ptr<Proc::DataVideoGPU> CreateGPU(const Conf::ColorSpace& colorSpace,
                                                              PixFmt pixFmt,
                                                              const Conf::FrameInfo& frameInfo);

    DataVideoOGL(const DataVideoOGL& other);
    ~DataVideoOGL() override;

    // Hands the task this object's frame, format and geometry and queues it.
    void AttachTask(boost::intrusive_ptr<IOglTask> task);
    void AddDependency(const boost::intrusive_ptr<DataVideoOGL>& dependency);
    // Executes the dependencies, then dispatches the pending tasks in order; with
    // `wait`, returns once the last of them has run.
    void Execute(bool wait) override;
    // The frame, allocated on first use. GL thread only.
    boost::intrusive_ptr<Frame> FrameData();

    boost::intrusive_ptr<Proc::IDataVideo> Clone(Proc::CloneMode mode) const override;
    Proc::FrameAllocType GetType() const override { return Proc::FrameAllocType::GPU; }
    // Only the whole picture can be filled.
    void PicturePad(unsigned top, unsigned bottom, unsigned left, unsigned right,
                    const Proc::Color& color) override;

    const boost::intrusive_ptr<DataVideoOGL>& GetParent() const { return parent; }
    std::size_t GetPendingTaskCount() const { return tasks.size(); }

private:
    DataVideoOGL(const Conf::ColorSpace& colorSpace, PixFmt pixFmt,
                 const Conf::FrameInfo& frameInfo, boost::intrusive_ptr<DataVideoOGL> parent);

    boost::intrusive_ptr<Frame> frame;
    boost::intrusive_ptr<DataVideoOGL> parent;
    std::deque<boost::intrusive_ptr<IOglTask>> tasks;
    std::deque<boost::intrusive_ptr<DataVideoOGL>> dependencies;
};

}  // namespace Kavrin::Ogl
