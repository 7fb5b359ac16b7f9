#include <GL/glew.h>

#include "ShaderStorage.h"

#include <cassert>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include <glog/logging.h>

#include "Kavrin/Core/Exception.h"

#include "Mesh.h"
#include "Private/TransferBuffers.h"
#include "ShaderProgram.h"
#include "Texture.h"

namespace Kavrin::Ogl {
namespace {

constexpr std::string_view kRgba = R"(uniform sampler2D src;
varying vec2 TexCoord0;

void main()
{
    gl_FragColor = texture2D(src, TexCoord0);
}
)";

constexpr std::string_view kArgb = R"(uniform sampler2D src;
varying vec2 TexCoord0;

void main()
{
    gl_FragColor = texture2D(src, TexCoord0).gbar;
}
)";

constexpr std::string_view kAbgr = R"(uniform sampler2D src;
varying vec2 TexCoord0;

void main()
{
    gl_FragColor = texture2D(src, TexCoord0).abgr;
}
)";

constexpr std::string_view kPremultiplyAlphaLib = R"(uniform sampler2D tex;
varying vec2 TexCoord0;

void main()
{
    gl_FragColor = kavrin_premultiplyAlphaRGBA_(texture2D(tex, TexCoord0), 1.0);
}
)";

constexpr std::string_view kPremultiplyAlpha = R"(uniform sampler2D tex;
varying vec2 TexCoord0;

void main()
{
    vec4 color = texture2D(tex, TexCoord0);
    color.rgb *= color.a;
    gl_FragColor = color;
}
)";

constexpr std::string_view kUnpremultiplyAlpha = R"(uniform sampler2D tex;
varying vec2 TexCoord0;

void main()
{
    vec4 color = texture2D(tex, TexCoord0);
    color.rgb /= color.a;
    gl_FragColor = color;
}
)";

constexpr std::string_view kMultiplyAlpha = R"(uniform sampler2D tex;
uniform float extAlpha;
varying vec2 TexCoord0;

void main()
{
    vec4 color = texture2D(tex, TexCoord0);
    gl_FragColor = vec4(color.rgb, color.a * extAlpha);
}
)";

constexpr std::string_view kReplaceAlpha = R"(uniform sampler2D tex;
uniform float extAlpha;
varying vec2 TexCoord0;

void main()
{
    vec4 color = texture2D(tex, TexCoord0);
    gl_FragColor = vec4(color.rgb, extAlpha);
}
)";

constexpr std::string_view kBlend = R"(uniform vec4 scaleoffset;
uniform sampler2D texDst;
uniform sampler2D texSrc;
uniform float extAlpha;
varying vec2 TexCoord0;

void main()
{
    vec4 colorDst = texture2D(texDst, TexCoord0 * scaleoffset.xy + scaleoffset.zw);
    vec4 colorSrc = texture2D(texSrc, TexCoord0);
    gl_FragColor = kavrin_blendRGBA_(colorDst, colorSrc, extAlpha);
}
)";

constexpr std::string_view kMix = R"(uniform sampler2D tex0;
uniform sampler2D tex1;
uniform float extAlpha;
varying vec2 TexCoord0;

void main()
{
    vec4 color0 = texture2D(tex0, TexCoord0);
    vec4 color1 = texture2D(tex1, TexCoord0);
    gl_FragColor = kavrin_mixRGBA_(color0, color1, extAlpha);
}
)";

constexpr std::string_view kCopy = R"(uniform sampler2D tex;
varying vec2 TexCoord0;

void main()
{
    gl_FragColor = texture2D(tex, TexCoord0);
}
)";

// Averages the source texels inside the destination pixel's footprint.
constexpr std::string_view kTile = R"(uniform sampler2D tex0;
uniform vec2 amount;
uniform vec2 rFrameSize;
uniform vec2 tile_av_size;
varying vec2 TexCoord0;

void main()
{
    vec2 newCoord = TexCoord0 * amount;
    vec4 f = vec4(tile_av_size, tile_av_size) * vec4(newCoord, newCoord + 1.0) - vec4(0.0, 0.0, 1.0, 1.0);
    ivec4 r = ivec4(f);
    vec4 sum = vec4(0.0);
    for (int i = r.x; i <= r.z; ++i) {
        for (int j = r.y; j <= r.w; ++j) {
            sum += texture2D(tex0, vec2(float(i), float(j)) * rFrameSize);
        }
    }
    gl_FragColor = sum * (1.0 / float((r.z - r.x + 1) * (r.w - r.y + 1)));
}
)";

constexpr std::int64_t Key(ShaderProgramId id) { return static_cast<std::int64_t>(id); }
constexpr std::int64_t Key(PixelFormatShader shader) { return static_cast<std::int64_t>(shader); }

// (u, v, x, y) per vertex: texture row 0 at the top of the viewport.
constexpr float kFrameQuadVertices[16] = {0, 0, -1, 1, 1, 0, 1, 1, 1, 1, 1, -1, 0, 1, -1, -1};

}  // namespace

const std::map<std::int64_t, std::string_view> BuiltinProgramSources = {
    {Key(PixelFormatShader::RGBA), kRgba},
    {Key(PixelFormatShader::ARGB), kArgb},
    {Key(PixelFormatShader::ABGR), kAbgr},
    {Key(ShaderProgramId::PremultiplyAlphaLib), kPremultiplyAlphaLib},
    {Key(ShaderProgramId::PremultiplyAlpha), kPremultiplyAlpha},
    {Key(ShaderProgramId::UnpremultiplyAlpha), kUnpremultiplyAlpha},
    {Key(ShaderProgramId::MultiplyAlpha), kMultiplyAlpha},
    {Key(ShaderProgramId::ReplaceAlpha), kReplaceAlpha},
    {Key(ShaderProgramId::Blend), kBlend},
    {Key(ShaderProgramId::Mix), kMix},
    {Key(ShaderProgramId::Copy), kCopy},
    {Key(ShaderProgramId::Tile), kTile},
};

// Members are declared in reverse order of their release in Reset.
struct ShaderStorage::State {
    OglCapability capability = OglCapability::Unknown;
    std::unordered_map<std::string, ShaderProgram, Details::Fnv1aHash> namedPrograms;
    std::unordered_map<std::int64_t, ShaderProgram> builtinPrograms;
    std::unordered_map<VShader::Id, VertexShader> vertexShaders;
    std::unique_ptr<Ogl::Quad> quad;
    std::unique_ptr<Ogl::Quad> frameQuad;
    std::unique_ptr<Surface> fbo;
    std::unique_ptr<Details::UploadBuffer> uploadBuffer;
    std::unique_ptr<Details::DownloadBuffer> downloadBuffer;
};

ShaderStorage::ShaderStorage() = default;

ShaderStorage::~ShaderStorage() { Reset(); }

ShaderStorage::State& ShaderStorage::Get() const {
    assert(state && "the storage is not valid");
    return *state;
}

OglCapability ShaderStorage::GetCapability() const {
    return state ? state->capability : OglCapability::Unknown;
}

void ShaderStorage::Create(OglCapability capability) {
    state = std::make_unique<State>();
    try {
        state->capability = capability;
        state->quad = std::make_unique<Ogl::Quad>(DynamicDraw);
        state->frameQuad = std::make_unique<Ogl::Quad>(StaticDraw);
        state->fbo = std::make_unique<Surface>();
        state->uploadBuffer = Details::UploadBuffer::Create(capability);
        state->downloadBuffer = Details::DownloadBuffer::Create(capability, *state->fbo);

        const VertexShader& vertexShader = Id2Shader(VShader::Id::XYUV);
        for (const auto& [id, source] : BuiltinProgramSources) {
            ShaderProgram program(std::to_string(id), vertexShader, source, capability);
            if (program.IsValid()) {
                state->builtinPrograms.emplace(id, std::move(program));
            }
        }
        state->frameQuad->GetCoordBuffer().UpdateBuffer(kFrameQuadVertices,
                                                        sizeof(kFrameQuadVertices), 0);
    } catch (...) {
        Reset();
        throw;
    }

    GLint maxAttributes = 0;
    glGetIntegerv(GL_MAX_VERTEX_ATTRIBS, &maxAttributes);
    if (maxAttributes < 4) {
        LOG(ERROR) << "too few arrays of attributes";
    }
    glDisable(GL_DEPTH_TEST);
    glDepthMask(GL_FALSE);
    glDisable(GL_CULL_FACE);
    if (capability < OglCapability::Core32) {
        glDisableClientState(GL_VERTEX_ARRAY);
        glEnable(GL_TEXTURE_2D);
    }
}

void ShaderStorage::Reset() {
    if (!state) {
        return;
    }
    state->downloadBuffer.reset();
    state->uploadBuffer.reset();
    state->fbo.reset();
    state->frameQuad.reset();
    state->quad.reset();
    state->vertexShaders.clear();
    state->builtinPrograms.clear();
    state->namedPrograms.clear();
    state.reset();
}

const VertexShader& ShaderStorage::Id2Shader(VShader::Id id) const {
    State& s = Get();
    if (auto found = s.vertexShaders.find(id); found != s.vertexShaders.end()) {
        return found->second;
    }
    if (auto source = BuiltinVertexSources.find(id); source != BuiltinVertexSources.end()) {
        LogBuffer log;
        VertexShader shader(source->second, s.capability, log);
        if (shader.IsValid()) {
            log.SetReport(false);
            return s.vertexShaders.emplace(id, std::move(shader)).first->second;
        }
    }
    KAVRIN_THROW_FROM("Id2Shader", std::logic_error("Failed to compile OpenGL vertex shader"));
}

ShaderProgram& ShaderStorage::GetShaderProgram(ShaderProgramId id) const {
    State& s = Get();
    auto found = s.builtinPrograms.find(Key(id));
    if (found == s.builtinPrograms.end()) {
        KAVRIN_THROW_FROM("GetShaderProgram",
                          std::logic_error("Builtin OpenGL shader program not found"));
    }
    return found->second;
}

ShaderProgram& ShaderStorage::UseShader(PixelFormatShader shader) const {
    State& s = Get();
    auto found = s.builtinPrograms.find(Key(shader));
    if (found == s.builtinPrograms.end()) {
        KAVRIN_THROW_FROM("UseShader", std::logic_error("Builtin OpenGL shader program not found"));
    }
    if (Key(shader) < 0 || Key(shader) > 2) {
        KAVRIN_THROW_FROM("UseShader", std::logic_error("Undefined shader of frame rendering"));
    }
    ShaderProgram& program = found->second;
    program.Use();
    program.Uniform("src", 0);
    return program;
}

ShaderProgram* ShaderStorage::FindNamed(const std::string& name) const {
    State& s = Get();
    auto found = s.namedPrograms.find(name);
    return found == s.namedPrograms.end() ? nullptr : &found->second;
}

ShaderProgram& ShaderStorage::Cache(const std::string& name, ShaderProgram&& program) const {
    if (program.IsValid()) {
        return Get().namedPrograms.emplace(name, std::move(program)).first->second;
    }
    // Not cached: a failing source is rebuilt (and reported) on every call.
    auto copy = Get().builtinPrograms.find(Key(ShaderProgramId::Copy));
    if (copy == Get().builtinPrograms.end()) {
        KAVRIN_THROW_FROM("MakeShader", std::logic_error("Failed to compile any OpenGL shaders"));
    }
    return copy->second;
}

ShaderProgram& ShaderStorage::MakeShader(
    const ShaderSources<std::string_view, std::string_view>& sources) const {
    if (ShaderProgram* cached = FindNamed(sources.name)) {
        return *cached;
    }
    return Cache(sources.name,
                 ShaderProgram(sources.name, sources.vertex, sources.pixel, Get().capability));
}

ShaderProgram& ShaderStorage::MakeShader(
    const ShaderSources<std::string_view, ShaderGenerator>& sources) const {
    if (ShaderProgram* cached = FindNamed(sources.name)) {
        return *cached;
    }
    const std::string pixel = sources.pixel();
    return Cache(sources.name,
                 ShaderProgram(sources.name, sources.vertex, pixel, Get().capability));
}

ShaderProgram& ShaderStorage::MakeShader(
    const ShaderSources<ShaderGenerator, ShaderGenerator>& sources) const {
    if (ShaderProgram* cached = FindNamed(sources.name)) {
        return *cached;
    }
    const std::string vertex = sources.vertex();
    const std::string pixel = sources.pixel();
    return Cache(sources.name, ShaderProgram(sources.name, vertex, pixel, Get().capability));
}

ShaderProgram& ShaderStorage::MakeShader(
    const ShaderSources<VShader::Id, std::string_view>& sources) const {
    if (ShaderProgram* cached = FindNamed(sources.name)) {
        return *cached;
    }
    const VertexShader& vertex = Id2Shader(sources.vertex);
    return Cache(sources.name,
                 ShaderProgram(sources.name, vertex, sources.pixel, Get().capability));
}

ShaderProgram& ShaderStorage::MakeShader(
    const ShaderSources<VShader::Id, ShaderGenerator>& sources) const {
    if (ShaderProgram* cached = FindNamed(sources.name)) {
        return *cached;
    }
    const VertexShader& vertex = Id2Shader(sources.vertex);
    const std::string pixel = sources.pixel();
    return Cache(sources.name, ShaderProgram(sources.name, vertex, pixel, Get().capability));
}

Surface& ShaderStorage::FBO() const { return *Get().fbo; }

const Mesh& ShaderStorage::Quad() const { return *Get().quad; }

const Mesh& ShaderStorage::FrameQuad() const { return *Get().frameQuad; }

Details::UploadBuffer& ShaderStorage::GetUploadBuffer() const { return *Get().uploadBuffer; }

Details::DownloadBuffer& ShaderStorage::GetDownloadBuffer() const { return *Get().downloadBuffer; }

}  // namespace Kavrin::Ogl
