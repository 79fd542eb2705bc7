// settings_cache.h - every setting of every camera the live view serves,
// read once when the camera opens, so that reading them costs the camera
// nothing: measurements (detector and camera temperature) are read again in
// the background, and a change is written to the camera and kept here.
#pragma once

#include "camera_hub.h"

#include <vivaclient/temperature_unit.h>

#include <vivaclient/settings.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vivatool::serve {

class SettingsCache {
public:
    // `measureEvery`: how often the measurements are read again.
    SettingsCache(CameraHub& hub, std::chrono::milliseconds measureEvery);
    ~SettingsCache();  // Stop()
    SettingsCache(const SettingsCache&) = delete;
    SettingsCache& operator=(const SettingsCache&) = delete;

    // Starts the thread that reads the settings of each camera as it opens
    // (again) and refreshes the measurements.
    void Start();
    void Stop();

    // Every setting of camera `index` as a JSON object (a setting that could
    // not be read has {"error", "code"}), from memory. Waits up to `wait` for
    // a camera that just opened to be read. False when the camera is not
    // live or was not read in time.
    bool SettingsJson(int index, std::string& json, std::chrono::milliseconds wait) const;

    // Writes `value` to the camera and, when it took it, keeps it as the
    // setting's value (`stored`: as the camera holds it). `open` is false
    // when the camera is not connected.
    vivaclient::Call Write(int index, const vivaclient::Setting& setting, double value,
                           vivaclient::SettingValue& stored, bool& open);

    // What camera `index`'s temperatures are in: its temp-unit setting as
    // last read or written, as the user declared it (temperature_unit.h);
    // the unknown unit before the camera was read.
    vivaclient::TemperatureUnit Unit(int index) const;

private:
    struct Known {
        uint64_t opened = 0;  // the camera's open count when read; 0: never
        std::vector<vivaclient::Call> calls;
        std::vector<vivaclient::SettingValue> values;
        std::chrono::steady_clock::time_point measured;
    };

    void Run();
    void Read(int index, uint64_t opened);
    void Measure(int index);
    bool StillOpen(int index, uint64_t opened) const;

    CameraHub& hub_;
    const std::chrono::milliseconds measureEvery_;
    std::vector<const vivaclient::Setting*> settings_;  // Settings(), in order

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    std::map<int, Known> known_;  // guarded by mutex_
    std::thread thread_;
};

}  // namespace vivatool::serve
