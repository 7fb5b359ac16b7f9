// Y4M input: header and frames, read from a seekable stream and from a pipe,
// then written back and read again.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>

#include "FuzzStreams.h"
#include "Y4M.h"

using namespace RenderHubFuzz;
using RenderHubTool::InputError;
using RenderHubTool::Y4MHeader;
using RenderHubTool::Y4MReader;

namespace {

Outcome ReadAll(std::istream& in, std::optional<Y4MHeader>& header) {
    Outcome outcome;
    try {
        Y4MReader reader(in);
        header = reader.Header();
        while (auto frame = reader.ReadFrame({})) {
            outcome.frames.push_back(Planes(*frame));
        }
    } catch (const InputError& error) {
        CheckMessage(error);
        outcome.failed = true;
        outcome.error = error.what();
    }
    return outcome;
}

bool SameHeader(const Y4MHeader& a, const Y4MHeader& b) {
    return a.width == b.width && a.height == b.height && a.rateNum == b.rateNum &&
           a.rateDen == b.rateDen && a.interlace == b.interlace && a.aspectNum == b.aspectNum &&
           a.aspectDen == b.aspectDen && a.pixFmt == b.pixFmt && a.range == b.range;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::istringstream seekable(std::string(reinterpret_cast<const char*>(data), size));
    std::optional<Y4MHeader> header;
    const Outcome fromFile = ReadAll(seekable, header);

    PipeBuffer buffer(data, size);
    std::istream pipe(&buffer);
    std::optional<Y4MHeader> pipeHeader;
    CheckSame(fromFile, ReadAll(pipe, pipeHeader));

    if (!header) {
        return 0;
    }
    // What was read must survive writing it back unchanged.
    std::ostringstream out;
    RenderHubTool::Y4MWriter writer(out, *header);
    for (const std::string& planes : fromFile.frames) {
        out << "FRAME\n" << planes;
    }
    std::istringstream again(out.str());
    std::optional<Y4MHeader> againHeader;
    const Outcome reread = ReadAll(again, againHeader);
    if (reread.failed || !againHeader || !SameHeader(*header, *againHeader) ||
        reread.frames != fromFile.frames) {
        std::fprintf(stderr, "written back, it reads differently: %s\n", reread.error.c_str());
        std::abort();
    }
    return 0;
}
