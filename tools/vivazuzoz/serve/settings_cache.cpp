#include "settings_cache.h"

#include <vivaclient/settings.h>
#include "../json.h"

namespace vivatool::serve {
using namespace vivaclient;

using Clock = std::chrono::steady_clock;

SettingsCache::SettingsCache(CameraHub& hub, std::chrono::milliseconds measureEvery)
    : hub_(hub), measureEvery_(measureEvery)
{
    for (const Setting& s : Settings())
        settings_.push_back(&s);
}

SettingsCache::~SettingsCache()
{
    Stop();
}

void SettingsCache::Start()
{
    if (!thread_.joinable())
        thread_ = std::thread([this] { Run(); });
}

void SettingsCache::Stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void SettingsCache::Run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        lock.unlock();
        for (const CameraSummary& camera : hub_.Cameras()) {
            if (!camera.live)
                continue;
            uint64_t known;
            Clock::time_point measured;
            {
                std::lock_guard<std::mutex> guard(mutex_);
                known = known_[camera.index].opened;
                measured = known_[camera.index].measured;
            }
            if (known != camera.opened)
                Read(camera.index, camera.opened);
            else if (Clock::now() - measured >= measureEvery_)
                Measure(camera.index);
        }
        lock.lock();
        changed_.wait_for(lock, std::chrono::milliseconds(50));
    }
}

// Everything, with one exchange per value (the environment record once for
// all its fields). The camera is held for one value (or the record) at a
// time, so that a change waits for no more than that, and a camera lost on
// the way is given up at once. Each value is kept while the camera is still
// held, so that a change made between two of them is never overwritten by
// what was read before it.
void SettingsCache::Read(int index, uint64_t opened)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Known& known = known_[index];
        known.opened = 0;  // being read
        known.calls.assign(settings_.size(), Call{});
        known.values.assign(settings_.size(), SettingValue{});
    }
    std::vector<std::vector<size_t>> groups;
    std::vector<size_t> environment;
    for (size_t i = 0; i < settings_.size(); ++i) {
        if (settings_[i]->access == SettingAccess::EnvParam)
            environment.push_back(i);
        else
            groups.push_back({i});
    }
    if (!environment.empty())
        groups.push_back(environment);
    for (const std::vector<size_t>& group : groups) {
        if (!StillOpen(index, opened))
            return;
        bool open = true;
        hub_.WithCamera(index, [&](unsigned long handle) {
            if (handle == 0) {
                open = false;
                return;
            }
            std::vector<const Setting*> these;
            for (size_t i : group)
                these.push_back(settings_[i]);
            std::vector<Call> calls;
            std::vector<SettingValue> values;
            vivaclient::ReadSettings(handle, these, calls, values);
            std::lock_guard<std::mutex> lock(mutex_);
            Known& known = known_[index];
            for (size_t k = 0; k < group.size(); ++k) {
                known.calls[group[k]] = calls[k];
                known.values[group[k]] = values[k];
            }
        });
        if (!open)
            return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    Known& known = known_[index];
    known.opened = opened;
    known.measured = Clock::now();
    changed_.notify_all();
}

bool SettingsCache::StillOpen(int index, uint64_t opened) const
{
    for (const CameraSummary& camera : hub_.Cameras())
        if (camera.index == index)
            return camera.live && camera.opened == opened;
    return false;
}

void SettingsCache::Measure(int index)
{
    hub_.WithCamera(index, [&](unsigned long handle) {
        if (handle == 0)
            return;
        for (size_t i = 0; i < settings_.size(); ++i) {
            if (settings_[i]->access != SettingAccess::FloatQuery)
                continue;
            SettingValue value;
            const Call call = ReadSetting(handle, *settings_[i], value);
            std::lock_guard<std::mutex> lock(mutex_);
            Known& known = known_[index];
            if (known.calls.size() != settings_.size())
                return;
            known.calls[i] = call;
            if (call.ok())
                known.values[i] = value;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        known_[index].measured = Clock::now();
    });
}

bool SettingsCache::SettingsJson(int index, std::string& json, std::chrono::milliseconds wait) const
{
    const Clock::time_point until = Clock::now() + wait;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        lock.unlock();
        uint64_t opened = 0;
        bool live = false;
        for (const CameraSummary& camera : hub_.Cameras())
            if (camera.index == index) {
                opened = camera.opened;
                live = camera.live;
            }
        lock.lock();
        if (!live)
            return false;
        const auto found = known_.find(index);
        if (found != known_.end() && found->second.opened == opened) {
            const Known& known = found->second;
            JsonWriter out;
            out.BeginObject();
            for (size_t i = 0; i < settings_.size(); ++i) {
                out.Key(settings_[i]->name);
                if (known.calls[i].ok())
                    WriteSettingJson(out, *settings_[i], known.values[i]);
                else
                    out.BeginObject()
                        .Key("error")
                        .String(DescribeFailure(known.calls[i]))
                        .Key("code")
                        .Int(known.calls[i].result)
                        .EndObject();
            }
            out.EndObject();
            json = out.str();
            return true;
        }
        if (stopping_ || Clock::now() >= until)
            return false;
        changed_.wait_until(lock, std::min(until, Clock::now() + std::chrono::milliseconds(50)));
    }
}

vivaclient::TemperatureUnit SettingsCache::Unit(int index) const
{
    int number = -1;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = known_.find(index);
        for (size_t i = 0; found != known_.end() && i < settings_.size(); ++i)
            if (std::string(settings_[i]->name) == "temp-unit" && i < found->second.calls.size() &&
                found->second.calls[i].ok())
                number = static_cast<int>(found->second.values[i].number);
    }
    return vivaclient::DeclaredUnit(number);
}

Call SettingsCache::Write(int index, const Setting& setting, double value, SettingValue& stored, bool& open)
{
    Call call;
    open = true;
    hub_.WithCamera(index, [&](unsigned long handle) {
        if (handle == 0) {
            open = false;
            return;
        }
        call = vivaclient::WriteSetting(handle, setting, value);
        if (!call.ok())
            return;
        // As the camera keeps it: an environment value travels as the float
        // that stands for its four decimals.
        stored = SettingValue{};
        stored.number = value;
        if (setting.access == SettingAccess::EnvParam)
            if (const auto wire = EnvValueForWire(value))
                stored.number = *wire;
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t i = 0; i < settings_.size(); ++i)
            if (settings_[i] == &setting) {
                auto found = known_.find(index);
                if (found != known_.end() && found->second.values.size() == settings_.size()) {
                    found->second.values[i] = stored;
                    found->second.calls[i] = call;
                }
            }
    });
    return call;
}

}  // namespace vivatool::serve
