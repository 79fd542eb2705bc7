#include "snapshot_endpoints.h"

#include "../temperature_csv.h"
#include "http_answers.h"
#include "png_memory.h"

#include <vivaclient/colormaps.h>

#include <VIVAZUZOZ.h>

namespace vivatool::serve {

using Poco::Net::HTTPResponse;

namespace {

// The camera's newest frame, waiting for the first one of a camera that just
// opened; null once the response says why there is none.
std::shared_ptr<const Frame> LiveFrame(Exchange& exchange)
{
    ServerState& server = exchange.server;
    const int camera = exchange.camera;
    CameraView view = server.hub.View(camera);
    if (view.live && !view.frame)  // just opened: the first frame is on its way
        view = server.hub.WaitForChange(camera, 0, true, std::chrono::steady_clock::now() + vivaclient::kStallLimit,
                                        server.stopping);
    if (!view.live || !view.frame) {
        SendError(exchange.response, HTTPResponse::HTTP_SERVICE_UNAVAILABLE,
                  "camera " + std::to_string(camera) + (view.live ? " sent no frame yet" : " is not connected"));
        return nullptr;
    }
    return view.frame;
}

}  // namespace

void SnapshotPng(Exchange& exchange)
{
    auto& response = exchange.response;
    std::string error;
    const vivaclient::ColormapInfo* palette = QueryColormap(exchange.uri, error);
    if (!palette)
        return SendError(response, HTTPResponse::HTTP_BAD_REQUEST, error);
    const std::shared_ptr<const Frame> live = LiveFrame(exchange);
    if (!live)
        return;
    const Frame& frame = *live;
    const std::vector<uint8_t> rgb = frame.temps() ? vivaclient::Colourise(frame.temps(), frame.width(), frame.height(),
                                                                           palette->build())
                                                   : vivaclient::Colourise(frame.image(), frame.width(), frame.height(),
                                                                           palette->build());
    std::string png;
    if (!EncodePng(frame.width(), frame.height(), rgb, png, error))
        return SendError(response, HTTPResponse::HTTP_INTERNAL_SERVER_ERROR, error);
    response.set("Content-Disposition",
                 "attachment; filename=\"camera" + std::to_string(exchange.camera) + "-" + palette->name + ".png\"");
    SendBody(response, HTTPResponse::HTTP_OK, "image/png", png);
}

void SnapshotJpeg(Exchange& exchange)
{
    auto& response = exchange.response;
    JpegRequest wanted;
    std::string error;
    if (!ParseJpegRequest(exchange.uri, wanted, error))
        return SendError(response, HTTPResponse::HTTP_BAD_REQUEST, error);
    const std::shared_ptr<const Frame> frame = LiveFrame(exchange);
    if (!frame)
        return;
    const auto picture = exchange.server.jpegFrames.For(exchange.camera, wanted)->Get(frame);
    if (!picture)
        return SendError(response, HTTPResponse::HTTP_INTERNAL_SERVER_ERROR, "the picture could not be encoded");
    response.set("Content-Disposition", "inline; filename=\"camera" + std::to_string(exchange.camera) + "-" +
                                            wanted.colormap->name + ".jpg\"");
    SendBody(response, HTTPResponse::HTTP_OK, "image/jpeg", picture->jpeg);
}

void TemperatureCsvFile(Exchange& exchange)
{
    auto& response = exchange.response;
    const std::shared_ptr<const Frame> frame = LiveFrame(exchange);
    if (!frame)
        return;
    if (!frame->temps())
        return SendError(response, HTTPResponse::HTTP_CONFLICT, "the stream carries no temperatures",
                         OZL_USB_NOT_SUPPORTED);
    response.set("Content-Disposition", "attachment; filename=\"camera" + std::to_string(exchange.camera) + ".csv\"");
    SendBody(response, HTTPResponse::HTTP_OK, "text/csv",
             TemperatureCsv(frame->temps(), frame->width(), frame->height()));
}

}  // namespace vivatool::serve
