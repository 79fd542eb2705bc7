#include "http_answers.h"

#include "../json.h"

#include <VIVAZUZOZ.h>

namespace vivatool::serve {

using Poco::Net::HTTPResponse;

namespace {

// The HTTP status for a library call that failed with `result`.
HttpStatus StatusForResult(int result)
{
    switch (result) {
    case OZL_USB_NOT_SUPPORTED:
        return HTTPResponse::HTTP_CONFLICT;
    case OZL_USB_INVALID_PARAM:
        return HTTPResponse::HTTP_BAD_REQUEST;
    case OZL_USB_OPEN_FAILED:
        return HTTPResponse::HTTP_SERVICE_UNAVAILABLE;
    default:
        return HTTPResponse::HTTP_BAD_GATEWAY;  // the camera did not answer or answered wrongly
    }
}

}  // namespace

void SendBody(Poco::Net::HTTPServerResponse& response, HttpStatus status, const std::string& type,
              const std::string& body)
{
    response.setStatusAndReason(status);
    response.setContentType(type);
    response.set("Cache-Control", "no-store");
    response.set("X-Content-Type-Options", "nosniff");
    response.setContentLength(static_cast<std::streamsize>(body.size()));
    response.sendBuffer(body.data(), body.size());
}

void SendJson(Poco::Net::HTTPServerResponse& response, const std::string& json, HttpStatus status)
{
    SendBody(response, status, "application/json", json + "\n");
}

void SendError(Poco::Net::HTTPServerResponse& response, HttpStatus status, const std::string& message, int code)
{
    JsonWriter json;
    json.BeginObject().Key("error").String(message).Key("code").Int(code ? code : static_cast<int>(status)).EndObject();
    SendJson(response, json.str(), status);
}

void SendCallFailure(Poco::Net::HTTPServerResponse& response, const vivaclient::Call& call)
{
    SendError(response, StatusForResult(call.result), vivaclient::DescribeFailure(call), call.result);
}

}  // namespace vivatool::serve
