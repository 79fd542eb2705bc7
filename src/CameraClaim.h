// CameraClaim - one owner per camera within the process.
//
// A camera is claimed by the node paths of its search record (capture node
// and command port) before anything of it is touched; a second open of the
// same camera finds the claim taken and fails at once, leaving the owner's
// stream, port and exchanges alone. Across processes the command port's
// advisory lock does the same (SerialPort).
#pragma once

#include <string>
#include <vector>

class CameraClaim {
public:
    CameraClaim() = default;
    ~CameraClaim();  // releases the claim
    CameraClaim(const CameraClaim&) = delete;
    CameraClaim& operator=(const CameraClaim&) = delete;

    // Claims every non-empty path, all or none: false when another claim
    // holds any of them (this one then holds nothing). A held claim is
    // released first.
    bool Acquire(const std::vector<std::string>& paths);
    void Release();
    bool Held() const { return !m_paths.empty(); }

private:
    // The paths this object holds in the process-wide table. Used only by
    // the thread that opens and closes the camera.
    std::vector<std::string> m_paths;
};
