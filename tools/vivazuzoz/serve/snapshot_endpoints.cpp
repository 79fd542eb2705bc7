#include "snapshot_endpoints.h"

#include "../temperature_csv.h"
#include "frame_message.h"
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

struct DecodedFrame {
    std::shared_ptr<const Frame> frame;
    std::vector<uint16_t> image;
    std::vector<int16_t> temp;
};

bool LiveDecodedFrame(Exchange& exchange, DecodedFrame& decoded)
{
    decoded.frame = LiveFrame(exchange);
    if (!decoded.frame)
        return false;
    FrameHeader header;
    if (!DecodeFrame(decoded.frame->message, header, decoded.image, decoded.temp)) {
        SendError(exchange.response, HTTPResponse::HTTP_INTERNAL_SERVER_ERROR, "damaged frame message");
        return false;
    }
    return true;
}

}  // namespace

void SnapshotPng(Exchange& exchange)
{
    auto& response = exchange.response;
    std::string error;
    const vivaclient::ColormapInfo* palette = QueryColormap(exchange.uri, error);
    if (!palette)
        return SendError(response, HTTPResponse::HTTP_BAD_REQUEST, error);
    DecodedFrame decoded;
    if (!LiveDecodedFrame(exchange, decoded))
        return;
    const Frame& frame = *decoded.frame;
    const std::vector<uint8_t> rgb = frame.withTemp ? vivaclient::Colourise(decoded.temp.data(), frame.width,
                                                                            frame.height, palette->build())
                                                    : vivaclient::Colourise(decoded.image.data(), frame.width,
                                                                            frame.height, palette->build());
    std::string png;
    if (!EncodePng(frame.width, frame.height, rgb, png, error))
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
    DecodedFrame decoded;
    if (!LiveDecodedFrame(exchange, decoded))
        return;
    const Frame& frame = *decoded.frame;
    if (!frame.withTemp)
        return SendError(response, HTTPResponse::HTTP_CONFLICT, "the stream carries no temperatures",
                         OZL_USB_NOT_SUPPORTED);
    response.set("Content-Disposition", "attachment; filename=\"camera" + std::to_string(exchange.camera) + ".csv\"");
    SendBody(response, HTTPResponse::HTTP_OK, "text/csv",
             TemperatureCsv(decoded.temp.data(), frame.width, frame.height));
}

}  // namespace vivatool::serve
