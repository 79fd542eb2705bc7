// HotObject - the run-time switch of the scene's hot object (the hot plate),
// by hand or by a period.
#include "emulator.h"

namespace vcam {

using namespace detail;

void Camera::State::SetHotObjectLocked(bool on)
{
    if (on == hotObject)
        return;
    hotObject = on;
    // The next frame draws a new scene that shows the change; the renderer
    // prepares again because the scene's id differs.
    scene.reset();
}

std::shared_ptr<const Scene> Camera::State::SceneLocked()
{
    if (!scene)
        scene = std::make_shared<const Scene>(setup.width, setup.height, hotObject);
    return scene;
}

void Camera::State::FollowHotObjectPeriodLocked(Clock::time_point now)
{
    if (!(setup.hotObjectPeriod > 0))
        return;
    const double elapsed = std::chrono::duration<double>(now - created).count();
    const long long half = static_cast<long long>(elapsed / setup.hotObjectPeriod);
    SetHotObjectLocked(half % 2 == 0);
}

void Camera::SetHotObject(bool on)
{
    std::lock_guard<std::mutex> lk(Lock());
    state_->setup.hotObject = on;
    state_->SetHotObjectLocked(on);
}

bool Camera::hotObject() const
{
    std::lock_guard<std::mutex> lk(Lock());
    return state_->hotObject;
}

}  // namespace vcam
