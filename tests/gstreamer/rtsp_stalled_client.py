"""Clients that misbehave on `vivazuzoz rtsp`, held while a good one plays.

    rtsp_stalled_client.py URL SECONDS

Opens: one client that sets up the stream over TCP (interleaved), plays it
and then never reads again, with a small receive buffer so that the
server's sending to it backs up at once; one connection that sent half a
request; one that sent a malformed request; and, during the whole time, new
connections that DESCRIBE and leave, and malformed requests. Prints
"stalled" once the stalled client plays, then holds everything for SECONDS.
"""

import re
import socket
import sys
import time
import urllib.parse


def connect(host, port, rcvbuf=None):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.settimeout(10)
    s.connect((host, port))
    return s


def request(s, text):
    """Sends one request and returns the response's head."""
    s.sendall(text.encode())
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = s.recv(1)
        if not chunk:
            raise RuntimeError("the server closed the connection after: " + text.splitlines()[0])
        head += chunk
    head = head.decode(errors="replace")
    length = re.search(r"(?im)^content-length:\s*(\d+)", head)
    body = b""
    while length and len(body) < int(length.group(1)):
        body += s.recv(int(length.group(1)) - len(body))
    if " 200 " not in head.splitlines()[0]:
        raise RuntimeError("refused: " + head.splitlines()[0])
    return head, body.decode(errors="replace")


def main():
    url, seconds = sys.argv[1], float(sys.argv[2])
    parts = urllib.parse.urlsplit(url)
    host, port = parts.hostname, parts.port

    stalled = connect(host, port, rcvbuf=2048)
    _, sdp = request(stalled, f"DESCRIBE {url} RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n")
    control = re.search(r"(?m)^a=control:(\S+)", sdp.split("m=video", 1)[1]).group(1)
    track = control if control.startswith("rtsp://") else url.rstrip("/") + "/" + control
    head, _ = request(stalled, f"SETUP {track} RTSP/1.0\r\nCSeq: 2\r\n"
                      "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n")
    session = re.search(r"(?im)^session:\s*([^;\r\n]+)", head).group(1)
    request(stalled, f"PLAY {url} RTSP/1.0\r\nCSeq: 3\r\nSession: {session}\r\n\r\n")
    # From here on the stalled client reads nothing.

    half = connect(host, port)
    half.sendall(f"DESCRIBE {url} RTSP/1.0\r\nCSeq: 1\r\nAccept: appl".encode())
    garbage = connect(host, port)
    garbage.sendall(b"\x16\x03\x01\x02\x00GARBAGE / HTTP/9\r\n\r\n")
    print("stalled", flush=True)

    end = time.monotonic() + seconds
    while time.monotonic() < end:
        # Churn: a DESCRIBE-only client and a malformed request, then gone.
        try:
            s = connect(host, port)
            request(s, f"DESCRIBE {url} RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n")
            s.close()
            s = connect(host, port)
            s.sendall(b"PLAY\r\nCSeq: x\r\n\r\n")
            s.close()
        except (OSError, RuntimeError) as e:
            print("churn:", e, file=sys.stderr, flush=True)
        time.sleep(0.2)
    for s in (stalled, half, garbage):
        s.close()


if __name__ == "__main__":
    main()
