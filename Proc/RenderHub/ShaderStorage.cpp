#include <GL/glew.h>

#include "ShaderStorage.h"

namespace Kavrin::Ogl {

struct ShaderStorage::State {
    OglCapability capability = OglCapability::Unknown;
};

ShaderStorage::ShaderStorage() = default;
ShaderStorage::~ShaderStorage() = default;

void ShaderStorage::Create(OglCapability capability) {
    auto created = std::make_unique<State>();
    created->capability = capability;
    state = std::move(created);
}

void ShaderStorage::Reset() { state.reset(); }

OglCapability ShaderStorage::GetCapability() const {
    return state ? state->capability : OglCapability::Unknown;
}

}  // namespace Kavrin::Ogl
