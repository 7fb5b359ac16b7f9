#include "Kavrin/DX/AdapterDescription.h"

namespace Kavrin::DX {

std::string AdapterDescription::GetDriverVersion() const {
    std::string text;
    for (int shift = 48; shift >= 0; shift -= 16) {
        if (!text.empty())
            text += '.';
        text += std::to_string((driverVersion >> shift) & 0xFFFF);
    }
    return text;
}

}  // namespace Kavrin::DX
