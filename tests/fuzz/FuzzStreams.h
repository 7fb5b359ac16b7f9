#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <streambuf>
#include <string>
#include <vector>

#include "Y4M.h"

namespace RenderHubFuzz {

// Memory read the way a pipe delivers it: in small pieces, and unable to seek,
// so that the readers take their path for unseekable input.
class PipeBuffer : public std::streambuf {
public:
    PipeBuffer(const std::uint8_t* data, std::size_t size);

protected:
    int_type underflow() override;

private:
    char* next;
    char* end;
};

// What reading a whole input gave: the frames' planes written back tightly, and
// whether and how it stopped early.
struct Outcome {
    bool failed = false;
    std::string error;
    std::vector<std::string> frames;
};

std::string Planes(const Kavrin::Proc::IDataVideo& frame);

// Aborts (a finding) when an InputError has no message.
void CheckMessage(const RenderHubTool::InputError& error);

// Aborts when the seekable and the unseekable reading of one input disagree.
void CheckSame(const Outcome& seekable, const Outcome& pipe);

}  // namespace RenderHubFuzz
