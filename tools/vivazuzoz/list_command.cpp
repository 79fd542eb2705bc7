#include "list_command.h"

#include <vivaclient/camera.h>
#include "json.h"

#include <algorithm>

namespace vivatool {
using namespace vivaclient;

namespace {

const CameraInfo* DefaultCamera(const std::vector<CameraInfo>& cameras)
{
    std::string ignored;
    return ChooseCamera(cameras, CameraChoice{}, ignored);
}

void PrintJson(FILE* out, const std::vector<CameraInfo>& cameras)
{
    JsonWriter json;
    json.BeginArray();
    for (const CameraInfo& c : cameras) {
        json.BeginObject().Key("index").Int(c.index);
        WriteCameraFields(json, c);
        json.Key("command_port").Bool(!c.serialPath.empty());
        json.Key("default").Bool(&c == DefaultCamera(cameras));
        json.EndObject();
    }
    json.EndArray();
    std::fprintf(out, "%s\n", json.str().c_str());
}

void PrintTable(FILE* out, const std::vector<CameraInfo>& cameras)
{
    size_t nameWidth = 4, videoWidth = 5;
    for (const CameraInfo& c : cameras) {
        nameWidth = std::max(nameWidth, c.name.size());
        videoWidth = std::max(videoWidth, NodeText(c.videoPath).size());
    }
    const int nw = static_cast<int>(nameWidth), vw = static_cast<int>(videoWidth);
    const CameraInfo* chosen = DefaultCamera(cameras);
    std::fprintf(out, "%-5s  %-*s  %-*s  %s\n", "INDEX", nw, "NAME", vw, "VIDEO", "SERIAL");
    for (const CameraInfo& c : cameras) {
        const std::string serial = c.serialPath.empty() ? "-  (no command port: cannot be driven)"
                                   : &c == chosen       ? c.serialPath + "  (default)"
                                                        : c.serialPath;
        std::fprintf(out, "%-5d  %-*s  %-*s  %s\n", c.index, nw, c.name.c_str(), vw, NodeText(c.videoPath).c_str(),
                     serial.c_str());
    }
}

}  // namespace

CommandSyntax ListSyntax()
{
    return {"list",
            "List the cameras found: index, name, video and serial nodes",
            "",
            {kJsonOption},
            0,
            0,
            "A device without a command port (a webcam, say) is listed but marked: the tool cannot drive\n"
            "it. The default camera of the other commands, the first with a command port, is marked too.\n"};
}

int RunList(Context& ctx, const ParsedArgs& args)
{
    LibrarySession library;
    std::vector<CameraInfo> cameras;
    const Call search = library.Search(cameras);
    if (!search.ok())
        return FailCall(ctx, search);
    if (args.has("json"))
        PrintJson(ctx.out, cameras);
    else if (cameras.empty())
        std::fprintf(ctx.out, "No cameras found.\n");
    else
        PrintTable(ctx.out, cameras);
    return kExitOk;
}

}  // namespace vivatool
