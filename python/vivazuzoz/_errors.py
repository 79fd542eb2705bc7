"""Exceptions of the vivazuzoz package (raised by its compiled core too)."""


class Error(Exception):
    """A call failed. ``code`` is the library's result code: 1 failure (the
    camera did not answer, or answered wrongly), 2 not supported, 3 invalid
    parameter, 4 open failed; 1001 when the camera is gone. The message names
    the call."""

    def __init__(self, message, code=1):
        super().__init__(message)
        self.code = code


class NotSupported(Error):
    """Code 2: the camera, or its current stream, does not support the call
    (e.g. temperature settings on an image-only stream)."""


class InvalidParam(Error, ValueError):
    """Code 3: a bad argument, or a closed camera; nothing was sent."""


class OpenFailed(Error):
    """Code 4: the camera could not be opened (no such camera, or its video or
    command node could not be opened)."""


class Timeout(Error, TimeoutError):
    """Camera.read: no frame arrived within the time-out (code 1)."""


class Disconnected(Error):
    """Code 1001: the camera is gone. ``event`` names what took it away:
    ``"lost"`` (unplugged, no longer answering, or 3 s without a frame),
    ``"stalled"`` (no frame for the stall limit, 5 s, while the library still
    counted the camera as there) or ``"error"`` (it came back, but not as it
    was); the message says it in words. Without ``reconnect`` the camera is
    closed for good then: close it."""

    def __init__(self, message, code=1001, event="lost"):
        super().__init__(message, code)
        self.event = event
