#pragma once

#include <GL/glew.h>

#include <array>
#include <memory>
#include <vector>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/Conf/ColorSpace.h"
#include "Kavrin/Conf/FrameInfo.h"
#include "Kavrin/Core/RefCount.h"
#include "Kavrin/PixFmt.h"
#include "Kavrin/PixFmtDescription.h"
#include "Kavrin/Proc/IDataVideo.h"

namespace Kavrin::Ogl {

class FrameDeleter;
class Mesh;
class ShaderStorage;
class Texture;

namespace Details {
struct TextureFormat;
template <class T, class Derived>
class GLThreadDeleter;
}  // namespace Details

// A video frame on the GPU: one RGB(A) texture in one of six GPU pixel formats,
// with its size and colour space. Filled from and written back into host CPU
// frames of any supported format (YUV converted on the way). Reference counts
// change on any thread; everything else runs on the GL thread. A frame whose last
// reference goes away off the GL thread is destroyed there by a queued task.
class Frame : public IRefCountable {
public:
    static boost::intrusive_ptr<Frame> Create();
    static boost::intrusive_ptr<Frame> CreateIntermediate(const Conf::ColorSpace& colorSpace,
                                                          PixFmt pixFmt,
                                                          const Conf::FrameInfo& frameInfo);
    // The GPU format used for a supported CPU format: RGBA with alpha, else RGB24.
    static PixFmt CPUPixFmtToGPUPixFmt(PixFmt pixFmt);

    unsigned AddRef() const override;
    unsigned GetRefCount() const override;
    unsigned Release() const override;

    // Keeps the texture when format and frame info stay the same.
    void Allocate(const Conf::ColorSpace& colorSpace, PixFmt pixFmt,
                  const Conf::FrameInfo& frameInfo);
    boost::intrusive_ptr<Frame> AllocateIntermediate();

    bool IsValid() const;
    bool IsRGB() const;
    bool HasAlpha() const;
    PixFmt GetPixelFormat() const;
    const Conf::ColorSpace& GetColorSpace() const { return colorSpace; }
    const Conf::FrameInfo& GetFrameInfo() const { return frameInfo; }
    unsigned GetWidth() const { return static_cast<unsigned>(frameInfo.width); }
    unsigned GetHeight() const { return static_cast<unsigned>(frameInfo.height); }

    Texture* GetFirstTexture() const;
    Texture* GetTexture(unsigned index) const;
    // Binds texture i to unit firstUnit + i; returns the count.
    unsigned UseTextures(unsigned firstUnit) const;

    // A null source empties the frame.
    void Upload(const boost::intrusive_ptr<Proc::IDataVideo>& source, const ShaderStorage& storage);
    void Download(const boost::intrusive_ptr<Proc::IDataVideo>& destination,
                  const ShaderStorage& storage);

    // Draws into the bound framebuffer and viewport.
    void Draw(const Mesh& mesh, const ShaderStorage& storage) const;
    // Lays the colour over the target with opacity extAlpha; the target's alpha stays.
    void Draw(const Mesh& mesh, const ShaderStorage& storage, float extAlpha) const;
    // Premultiplied colour; a negative direction mirrors that axis.
    void DrawPremultiplied(const ShaderStorage& storage, const std::array<int, 2>& direction) const;

    boost::intrusive_ptr<Frame> ConvertToRGB(const ShaderStorage& storage);
    boost::intrusive_ptr<Frame> ConvertToRGBA(const ShaderStorage& storage);

private:
    friend class FrameDeleter;
    friend class Details::GLThreadDeleter<Frame, FrameDeleter>;

    Frame();
    ~Frame();

    bool Compatible(const PixFmtDescription* description, const Conf::FrameInfo& info) const;
    void Reset();
    void Allocate_RGB(const Conf::ColorSpace& colorSpace, const PixFmtDescription* description,
                      const Conf::FrameInfo& info);
    // Allocate_RGB with the texture stored in `storage` (a layout GL can fill
    // from the source's pixels without reordering them).
    void Allocate_RGB(const Conf::ColorSpace& colorSpace, const PixFmtDescription* description,
                      const Conf::FrameInfo& info, const Details::TextureFormat& storage);
    // Gives the textures up without GL calls: for a frame outliving its context.
    void Abandon();

    static void Upload_RGB(Frame& frame, const boost::intrusive_ptr<Proc::IDataVideo>& source,
                           const ShaderStorage& storage, const PixFmtDescription* description);
    static void Upload_YUV(Frame& frame, const boost::intrusive_ptr<Proc::IDataVideo>& source,
                           const ShaderStorage& storage, const PixFmtDescription* description);
    static void Upload_NV(Frame& frame, const boost::intrusive_ptr<Proc::IDataVideo>& source,
                          const ShaderStorage& storage, const PixFmtDescription* description);
    static void Download_RGB(const Frame& frame,
                             const boost::intrusive_ptr<Proc::IDataVideo>& destination,
                             const ShaderStorage& storage, const PixFmtDescription* description);
    static void Download_YUV(const Frame& frame,
                             const boost::intrusive_ptr<Proc::IDataVideo>& destination,
                             const ShaderStorage& storage, const PixFmtDescription* description);
    static void Download_NV(const Frame& frame,
                            const boost::intrusive_ptr<Proc::IDataVideo>& destination,
                            const ShaderStorage& storage, const PixFmtDescription* description);

    boost::intrusive_ptr<Frame> ConvertToSpecifiedRGB(PixFmt pixFmt,
                                                      const ShaderStorage& storage) const;
    boost::intrusive_ptr<Frame> ConvertToSpecifiedRGBA(PixFmt pixFmt,
                                                       const ShaderStorage& storage) const;
    static void ReorderRGBChannels(Frame& frame, const ShaderStorage& storage,
                                   const std::array<int, 4>& order);

    RefCountImpl refCount;
    const PixFmtDescription* desc;
    Conf::ColorSpace colorSpace;
    Conf::FrameInfo frameInfo;
    std::vector<std::unique_ptr<Texture>> textures;
};

}  // namespace Kavrin::Ogl
