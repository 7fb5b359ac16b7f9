#include <GL/glew.h>

#include "GpuEval.h"

#include <algorithm>
#include <cstddef>
#include <iomanip>
#include <sstream>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "Mesh.h"
#include "RenderHub.h"
#include "ShaderSources.h"
#include "TestTasks.h"

namespace Kavrin::Test {
namespace {

// Ends with the blank line the library injection needs in front of main.
constexpr std::string_view kInputPrelude = R"(uniform sampler2D EvalInputs;
vec4 EvalInput(int k) { return texelFetch(EvalInputs, ivec2(int(gl_FragCoord.x), k), 0); }

)";

}  // namespace

std::vector<glm::vec4> EvaluatePerCase(std::string_view pixelBody,
                                       const std::vector<std::vector<glm::vec4>>& cases) {
    const std::size_t rows = cases.empty() ? 0 : cases.front().size();
    if (rows == 0 ||
        std::any_of(cases.begin(), cases.end(), [&](const auto& c) { return c.size() != rows; })) {
        ADD_FAILURE() << "EvaluatePerCase: no cases, or cases of different argument counts";
        return {};
    }
    // Row k of the input texture holds argument k of every case.
    const int width = static_cast<int>(cases.size());
    std::vector<glm::vec4> inputs(cases.size() * rows);
    for (std::size_t i = 0; i < cases.size(); ++i)
        for (std::size_t k = 0; k < rows; ++k)
            inputs[k * cases.size() + i] = cases[i][k];
    const std::string body = std::string(kInputPrelude) + std::string(pixelBody);
    // Detection happens off the GL thread; the capability picks the dialect.
    const Ogl::OglCapability capability = Ogl::RenderHub::GetInstance().GetOglVersion();
    LogCapture log;
    bool built = false;
    std::vector<glm::vec4> pixels;
    WithStorage([&](const Ogl::ShaderStorage& storage) {
        Ogl::ShaderProgram program("GpuEval", Ogl::BuiltinVertexSources.at(Ogl::VShader::Id::XYUV),
                                   body, capability);
        built = program.IsValid();
        if (!built)
            return;
        auto target = FloatTexture(width, 1);
        auto input = FloatTexture(width, static_cast<int>(rows), inputs.data());
        program.Use();
        input->Use(0);
        program.Uniform("EvalInputs", 0);
        storage.FBO().Attach(*target);
        storage.Quad().Activate();
        storage.Quad().Draw(program);
        pixels = ReadFloat(*target, storage);
        glBindTexture(GL_TEXTURE_2D, 0);
        glUseProgram(0);
    });
    if (!built) {
        ADD_FAILURE() << "EvaluatePerCase: the program does not build\nPixel body:\n"
                      << body << "\nLog:\n"
                      << log.Dump();
    }
    return pixels;
}

std::unique_ptr<Ogl::Texture> FloatTexture(int width, int height, const glm::vec4* texels) {
    return std::make_unique<Ogl::Texture>(
        Ogl::Texture::Params{width, height, GL_RGBA, GL_RGBA32F, GL_FLOAT}, GL_CLAMP_TO_EDGE,
        GL_NEAREST, texels);
}

std::vector<glm::vec4> ReadFloat(Ogl::Texture& texture, const Ogl::ShaderStorage& storage) {
    const Ogl::Texture::Params& p = texture.GetTexParams();
    std::vector<glm::vec4> pixels(static_cast<std::size_t>(p.width * p.height));
    texture.Download(0, pixels.data(), storage.FBO());
    return pixels;
}

std::string Describe(const glm::dvec4& value) {
    std::ostringstream text;
    text << std::setprecision(9) << "(" << value.x << ", " << value.y << ", " << value.z << ", "
         << value.w << ")";
    return text.str();
}

}  // namespace Kavrin::Test
