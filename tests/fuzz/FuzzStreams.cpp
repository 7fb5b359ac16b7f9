#include "FuzzStreams.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace RenderHubFuzz {

PipeBuffer::PipeBuffer(const std::uint8_t* data, std::size_t size)
    : next(reinterpret_cast<char*>(const_cast<std::uint8_t*>(data))), end(next + size) {}

PipeBuffer::int_type PipeBuffer::underflow() {
    if (next == end) {
        return traits_type::eof();
    }
    // Odd piece sizes split rows and frame headers across refills.
    const std::size_t piece = std::min<std::size_t>(static_cast<std::size_t>(end - next), 61);
    setg(next, next, next + piece);
    next += piece;
    return traits_type::to_int_type(*gptr());
}

std::string Planes(const Kavrin::Proc::IDataVideo& frame) {
    std::ostringstream out;
    RenderHubTool::WritePlanes(out, frame);
    return out.str();
}

void CheckMessage(const RenderHubTool::InputError& error) {
    if (std::string(error.what()).empty()) {
        std::fprintf(stderr, "InputError without a message\n");
        std::abort();
    }
}

void CheckSame(const Outcome& seekable, const Outcome& pipe) {
    if (seekable.failed != pipe.failed || seekable.frames != pipe.frames) {
        std::fprintf(stderr, "seekable: %s after %zu frames; pipe: %s after %zu frames\n",
                     seekable.failed ? seekable.error.c_str() : "ok", seekable.frames.size(),
                     pipe.failed ? pipe.error.c_str() : "ok", pipe.frames.size());
        std::abort();
    }
}

}  // namespace RenderHubFuzz
