#include "Kavrin/Core/Utils.h"

#include "Kavrin/DX/DirectXException.h"

namespace Kavrin::Core::Utils {

std::pair<std::string, std::string> GetErrorInfo(HRESULT result) {
    return DX::GetResultInfo(result);
}

void ToLower(std::string& text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
}

}  // namespace Kavrin::Core::Utils
