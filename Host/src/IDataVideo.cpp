#include "Kavrin/Proc/IDataVideo.h"

#include "Kavrin/PixFmtDescription.h"

namespace Kavrin::Proc {

int GetPlanesCount(const IDataVideo& video) {
    const PixFmtDescription* description = PixFmtDescription::Find(video.GetPixelFormat());
    return description ? description->planes : 0;
}

}  // namespace Kavrin::Proc
