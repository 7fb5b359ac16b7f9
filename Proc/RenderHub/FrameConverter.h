#pragma once

#include <GL/glew.h>

#include <cstdint>
#include <memory>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/Conf/ColorSpace.h"
#include "Kavrin/Conf/ColorUtils.h"
#include "Kavrin/PixFmt.h"
#include "Kavrin/PixFmtDescription.h"
#include "Kavrin/Proc/IDataVideo.h"

#include "ColorSpaceConverter.h"
#include "Resampler.h"

namespace Kavrin::Ogl {

class Frame;
class ShaderStorage;

// What a CPU-to-CPU conversion needs beyond the two frames, whose pixel formats,
// sizes and colour spaces (primaries, transfer, YCbCr matrix) say the rest.
struct FrameConversionOptions {
    // Sample ranges; Unspecified means limited for YUV and full for RGB.
    PixelColorRange sourceRange = PixelColorRange::Unspecified;
    PixelColorRange targetRange = PixelColorRange::Unspecified;

    // Luminances in cd/m² relating HDR and SDR light (see Proc::ColorConversionInfo).
    float sourcePeakLuminance = 1000.0f;
    float targetPeakLuminance = 1000.0f;
    float referenceWhiteLuminance = 203.0f;
    float hlgDisplayPeakLuminance = 1000.0f;

    // A target without alpha drops the source's alpha and keeps straight colour,
    // or shows the picture composited over black.
    enum class Alpha : std::int32_t { Drop = 0, CompositeOnBlack = 1 };
    Alpha alpha = Alpha::Drop;

    // Where the target has fewer bits than the data (any colour conversion, or a
    // depth decrease): rounded to nearest, or an ordered 16x16 Bayer dither,
    // unbiased and the same in every frame.
    enum class Dither : std::int32_t { None = 0, Ordered = 1 };
    Dither dither = Dither::None;

    // Chroma where its grid changes (subsampling or siting): the nearest sample up
    // and the mean of the covered pixels down, or bilinear or bicubic (Catmull-Rom)
    // kernels centred on each side's sample positions, widened when subsampling.
    // Taps past an edge mirror back (the edge sample repeated), as zimg's do. The
    // same grid keeps its samples.
    enum class ChromaFilter : std::int32_t { Nearest = 0, Bilinear = 1, Bicubic = 2 };
    ChromaFilter chromaFilter = ChromaFilter::Nearest;
    // Where chroma samples sit, numbered as ITU-T H.273 and AVChromaLocation;
    // unspecified is left (MPEG-2, H.264). Used by the kernels only.
    enum class ChromaLocation : std::int32_t {
        Unspecified = 0,
        Left = 1,
        Center = 2,
        TopLeft = 3,
        Top = 4,
        BottomLeft = 5,
        Bottom = 6,
    };
    ChromaLocation sourceChromaLocation = ChromaLocation::Unspecified;
    ChromaLocation targetChromaLocation = ChromaLocation::Unspecified;

    // Where the target frame's size differs from the source's: a separable
    // kernel (see Resample), on R'G'B' as it is or in linear light.
    using ScaleFilter = ResampleKernel;
    ScaleFilter scaleFilter = ScaleFilter::Bicubic;
    bool scaleInLinearLight = false;

    // An HDR source (PQ, or HLG through its OOTF for hlgDisplayPeakLuminance) into
    // a lower peak (SDR: reference white): the BT.2390 EETF, the extended
    // Reinhard curve or a clip, on the largest channel (see ColorMapping).
    using ToneCurve = ColorMapping::ToneCurve;
    ToneCurve toneCurve = ToneCurve::BT2390;
    // Colours outside a narrower target gamut: clipped, or compressed into it
    // keeping luminance and hue; colours well inside it stay as they are.
    enum class Gamut : std::int32_t { Clip = 0, Compress = 1 };
    Gamut gamut = Gamut::Clip;
};

// Converts host CPU frames into host CPU frames of another pixel format, sample
// range or colour space on the GPU, choosing the path itself:
// - same colour (matrix, primaries, transfer), only layout, depth, range or
//   chroma subsampling change: integer plane textures and exact integer
//   arithmetic (chroma resampled by a kernel excepted), never through RGB;
//   identity is bit-exact;
// - colour or size changes: decoded into unclamped 32-bit float RGB, resized,
//   converted, encoded, clamped only to the target's code range.
// Owns the float frames it reuses from one conversion to the next; it may die on
// any thread (their textures are then freed by a task on the GL thread, or
// abandoned with the context when the library stops first). Convert runs on the
// GL thread only; the object is not thread-safe.
class FrameConverter {
public:
    enum class Path : std::int32_t { Integer = 1, Colour = 2 };

    explicit FrameConverter(const FrameConversionOptions& options = {});
    ~FrameConverter();
    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;

    // Fills every plane of `target` from `source`; both of a supported CPU pixel
    // format (GetSupportedPixFmt), of any sizes. Colour spaces come from the
    // frames; a YUV side with an unspecified or unusable matrix takes BT.2020 NCL
    // for BT.2020 primaries, else BT.709. Throws Kavrin::Exception for a null
    // frame, an unsupported format, sizes GL cannot hold, or a colour
    // space the converter has no curve or primaries for; "This is not OpenGL
    // thread." off the GL thread. Pool textures taken here always go back.
    void Convert(const boost::intrusive_ptr<Proc::IDataVideo>& source,
                 const boost::intrusive_ptr<Proc::IDataVideo>& target,
                 const ShaderStorage& storage);

    // The path Convert takes for these formats and colour spaces at equal sizes
    // (a resize always takes the colour path). Any thread.
    Path Plan(PixFmt sourceFormat, const Conf::ColorSpace& sourceSpace, PixFmt targetFormat,
              const Conf::ColorSpace& targetSpace) const;

    const FrameConversionOptions& Options() const { return options; }

private:
    FrameConversionOptions options;
    // Float intermediates: decoded samples or colour, and the colour-space result.
    boost::intrusive_ptr<Frame> decoded;
    boost::intrusive_ptr<Frame> resized;
    boost::intrusive_ptr<Frame> mapped;
    // The colour mapping the decoding ran last, and for which colour spaces.
    struct MappingFunction;
    std::unique_ptr<MappingFunction> mappingFunction;
};

}  // namespace Kavrin::Ogl
