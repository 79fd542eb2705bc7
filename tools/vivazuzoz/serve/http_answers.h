// http_answers.h - how every endpoint of the live server answers: a body
// that is never cached or sniffed, JSON, and errors as
// {"error": message, "code": code}.
#pragma once

#include <vivaclient/result_text.h>

#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPServerResponse.h>

#include <string>

namespace vivatool::serve {

using HttpStatus = Poco::Net::HTTPResponse::HTTPStatus;

void SendBody(Poco::Net::HTTPServerResponse& response, HttpStatus status, const std::string& type,
              const std::string& body);

void SendJson(Poco::Net::HTTPServerResponse& response, const std::string& json,
              HttpStatus status = Poco::Net::HTTPResponse::HTTP_OK);

// `code` is the library's result code when a camera call failed, else the
// HTTP status.
void SendError(Poco::Net::HTTPServerResponse& response, HttpStatus status, const std::string& message, int code = 0);

// A camera call that failed: its result's HTTP status, its description and
// its result code.
void SendCallFailure(Poco::Net::HTTPServerResponse& response, const vivaclient::Call& call);

}  // namespace vivatool::serve
