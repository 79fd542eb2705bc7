// served_hub.h - the fixture the live server's tests share: virtual cameras
// behind a camera hub and a server on a free loopback port, with the hub
// maintained (lost cameras closed, new ones opened) as `serve` does.
#pragma once

#include "camera_hub.h"
#include "live_server.h"
#include <vivaclient/camera.h>

#include "../../support/scratch_dir.h"

#include <vcam/VirtualCamera.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

class ServedHub : public ::testing::Test {
protected:
    void Serve(vivatool::serve::ServerOptions options = vivatool::serve::ServerOptions())
    {
        options.port = 0;
        library_ = std::make_unique<vivaclient::LibrarySession>();
        hub_ = std::make_unique<vivatool::serve::CameraHub>(*library_);
        hub_->rescanEvery = std::chrono::milliseconds(200);
        ASSERT_TRUE(hub_->Start().ok());
        server_ = std::make_unique<vivatool::serve::LiveServer>(*hub_, options);
        std::string error;
        ASSERT_TRUE(server_->Start(error)) << error;
        port_ = server_->port();
        maintainer_ = std::thread([this] {
            while (!stopMaintaining_.load()) {
                hub_->Maintain();
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
    }

    void TearDown() override
    {
        stopMaintaining_.store(true);
        if (maintainer_.joinable())
            maintainer_.join();
        server_.reset();
        hub_.reset();
        library_.reset();
        vcam::RemoveAll();
    }

    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

    ScratchDir dir_;
    std::unique_ptr<vivaclient::LibrarySession> library_;
    std::unique_ptr<vivatool::serve::CameraHub> hub_;
    std::unique_ptr<vivatool::serve::LiveServer> server_;
    uint16_t port_ = 0;
    std::atomic<bool> stopMaintaining_{false};
    std::thread maintainer_;
};
