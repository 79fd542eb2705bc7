// ReadSnapshotFacts (thermal_snapshot.h): the part that asks the camera.
#include <vivaclient/camera_session.h>
#include <vivaclient/number_text.h>
#include <vivaclient/settings.h>
#include <vivaclient/thermal_snapshot.h>

#include <VIVAZUZOZ.h>

#include <chrono>
#include <cstring>

namespace vivaclient {

TemperatureUnit ReadDeclaredUnit(unsigned long handle)
{
    int unit = -1;
    return DeclaredUnit(OZL_USB_GetTempUnit(handle, &unit) == OZL_USB_SUCCESS ? unit : -1);
}

TemperatureUnit ReadDeclaredUnit(CameraSession& camera)
{
    TemperatureUnit unit = DeclaredUnit(-1);
    camera.Command([&unit](unsigned long handle) {
        unit = ReadDeclaredUnit(handle);
        return OZL_USB_SUCCESS;
    });
    return unit;
}

SnapshotFacts ReadSnapshotFacts(unsigned long handle, const std::string& camera)
{
    SnapshotFacts facts;
    facts.camera = camera;
    facts.time = UtcText(std::chrono::system_clock::now());
    std::vector<const Setting*> wanted;
    for (const Setting& s : Settings())
        if (s.group == SettingGroup::Camera || s.group == SettingGroup::Environment ||
            s.access == SettingAccess::FloatQuery)
            wanted.push_back(&s);
    std::vector<Call> calls;
    std::vector<SettingValue> values;
    ReadSettings(handle, wanted, calls, values);
    int envFound = 0;
    for (size_t i = 0; i < wanted.size(); ++i) {
        if (!calls[i].ok())
            continue;
        const Setting& s = *wanted[i];
        if (s.access == SettingAccess::EnvParam && s.slot >= 0 && s.slot < kEnvFields) {
            facts.env[s.slot] = values[i].number;
            ++envFound;
            continue;
        }
        if (std::strcmp(s.name, "temp-unit") == 0)
            facts.unit = DeclaredUnit(static_cast<int>(values[i].number));
        facts.settings.emplace_back(s.name, FormatSettingValue(s, values[i]));
    }
    facts.hasEnv = envFound == kEnvFields;
    if (facts.unit.number < 0)
        facts.unit = DeclaredUnit(-1);
    return facts;
}

}  // namespace vivaclient
