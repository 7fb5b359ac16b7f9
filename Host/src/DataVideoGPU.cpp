#include "Kavrin/Proc/DataVideoGPU.h"

namespace Kavrin::Proc {

DataVideoGPU::Creator DataVideoGPU::CreatorOGL;

}  // namespace Kavrin::Proc
