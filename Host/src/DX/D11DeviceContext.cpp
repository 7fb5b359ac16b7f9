#include "Kavrin/DX/D11DeviceContext.h"

#include <stdexcept>

#include "Kavrin/Core/Exception.h"
#include "Kavrin/DX/D11CompletionEvent.h"
#include "Kavrin/DX/DirectXException.h"

#include "Details/EmulatedObjects.h"
#include "Details/LiveObjects.h"

namespace Kavrin::DX {
namespace {

Details::D11TextureImpl& CheckedTexture(ID3D11Resource* resource, ID3D11Device* device,
                                        const char* role) {
    Details::D11TextureImpl* texture = Details::AsEmulated(resource);
    if (!texture) {
        KAVRIN_THROW_DX("CopyResource", E_INVALIDARG,
                        std::string("The ") + role + " is not a texture of the DirectX emulation");
    }
    if (texture->device.p != device) {
        KAVRIN_THROW_DX("CopyResource", E_INVALIDARG,
                        std::string("The ") + role + " belongs to another Direct3D 11 device");
    }
    // Direct3D drops work on keyed-mutex textures that the device has not acquired.
    if (EmulatedKeyedMutex* mutex = texture->memory->GetKeyedMutex();
        mutex && mutex->GetOwner() != texture) {
        KAVRIN_THROW_DX(
            "CopyResource", DXGI_ERROR_INVALID_CALL,
            std::string("The ") + role + "'s keyed mutex is not held; call AcquireSync first");
    }
    return *texture;
}

}  // namespace

D11DeviceContext::D11DeviceContext(ID3D11Device* device)
    : device(device), liveId(Details::RegisterLive("D11DeviceContext", "")) {}

D11DeviceContext::~D11DeviceContext() { Details::UnregisterLive(liveId); }

void D11DeviceContext::CheckEncoding(const char* function) const {
    if (encodingThread.load() != std::this_thread::get_id()) {
        KAVRIN_THROW_FROM(function,
                          std::logic_error("The Direct3D 11 device context is usable only "
                                           "inside D11Device::Encode"));
    }
    const auto* emulated = static_cast<Details::D11DeviceImpl*>(device.p);
    Details::CheckNotRemoved(*emulated->state, function);
}

void D11DeviceContext::CopyResource(ID3D11Resource* destination, ID3D11Resource* source) {
    CheckEncoding("CopyResource");
    Details::D11TextureImpl& to = CheckedTexture(destination, device, "destination");
    Details::D11TextureImpl& from = CheckedTexture(source, device, "source");
    if (&to == &from || to.memory == from.memory) {
        KAVRIN_THROW_DX("CopyResource", E_INVALIDARG, "CopyResource needs two different textures");
    }
    if (to.desc.Width != from.desc.Width || to.desc.Height != from.desc.Height ||
        to.desc.Format != from.desc.Format) {
        KAVRIN_THROW_DX("CopyResource", E_INVALIDARG,
                        "CopyResource needs textures of the same size and format");
    }
    to.memory->Write(from.memory->ReadAll());
}

void D11DeviceContext::Signal(const boost::intrusive_ptr<D11CompletionEvent>& event) {
    CheckEncoding("Signal");
    if (!event)
        KAVRIN_THROW_DX("Signal", E_INVALIDARG, "No event to signal");
    EmulatedFence& fence = *event->GetFence();
    fence.Signal(fence.PreIncrementValue());
}

}  // namespace Kavrin::DX
