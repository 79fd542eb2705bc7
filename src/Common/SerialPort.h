// SerialPort - the camera's command port: a tty node in raw 8-N-1 mode at
// 115200 baud. It moves bytes and knows nothing of command frames.
//
// No lock: ReadPort and WritePort may run on several threads at once (each is
// one system call on the descriptor); OpenPort and ClosePort are called by
// the threads that open and close the camera, while no exchange runs.
#pragma once

class SerialPort {
public:
    SerialPort();
    ~SerialPort();  // closes the port if it is open

    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // 0 opened and configured; 1 already open (nothing changes) or the line
    // settings could not be read or applied; 4 the node could not be opened,
    // or another client (in this process or another) holds the port: the
    // port is claimed exclusively (advisory lock and exclusive mode) before
    // its settings are touched, so a refused client changes nothing.
    int OpenPort(const char* path);
    // Closes the port if it is open; otherwise does nothing.
    void ClosePort();
    // One non-blocking read of at most `len` bytes, then both queues are
    // discarded. Bytes read, or -1 (errno kept; EAGAIN when nothing pending).
    long ReadPort(char* buf, unsigned long len);
    // One write of `len` bytes; bytes written or -1.
    long WritePort(const char* buf, unsigned long len);
    bool IsOpen() const;

private:
    // Both written only by OpenPort/ClosePort (see above); -1 / false while closed.
    int m_fd;
    bool m_isOpen;
};
