#include <vivaclient/thermal_snapshot.h>

#include <vivaclient/number_text.h>
#include <vivaclient/recording.h>

#include <cctype>

namespace vivaclient {

std::vector<std::pair<std::string, std::string>> FactFields(const SnapshotFacts& facts)
{
    std::vector<std::pair<std::string, std::string>> fields;
    if (!facts.camera.empty())
        fields.emplace_back("camera", facts.camera);
    if (!facts.time.empty())
        fields.emplace_back("time", facts.time);
    fields.emplace_back("temperature-unit", facts.unit.symbol);
    fields.emplace_back("temperature-unit-name", facts.unit.declared() ? facts.unit.name : "undeclared");
    fields.emplace_back("temperature-unit-number", std::to_string(facts.unit.number));
    if (facts.hasEnv)
        for (int i = 0; i < kEnvFields; ++i)
            fields.emplace_back(kEnvNames[i], FormatDecimal(facts.env[i], 4));
    for (const auto& setting : facts.settings)
        fields.push_back(setting);
    return fields;
}

SnapshotFacts FactsFromFields(const std::vector<std::pair<std::string, std::string>>& fields)
{
    SnapshotFacts facts;
    std::string unitSymbol = "unknown";
    long long unitNumber = -1;
    int envFound = 0;
    for (const auto& [name, value] : fields) {
        if (name == "camera") {
            facts.camera = value;
        } else if (name == "time") {
            facts.time = value;
        } else if (name == "temperature-unit") {
            unitSymbol = value;
        } else if (name == "temperature-unit-number") {
            unitNumber = ParseInteger(value).value_or(-1);
        } else if (name == "temperature-unit-name") {
            // follows from the symbol
        } else {
            bool env = false;
            for (int i = 0; i < kEnvFields; ++i) {
                if (name == kEnvNames[i]) {
                    if (const auto number = ParseDecimal(value)) {
                        facts.env[i] = *number;
                        ++envFound;
                    }
                    env = true;
                }
            }
            if (!env)
                facts.settings.emplace_back(name, value);
        }
    }
    facts.hasEnv = envFound == kEnvFields;
    facts.unit = UnitFromFile(static_cast<int>(unitNumber), unitSymbol);
    return facts;
}

SnapshotFacts RecordingFacts(const std::string& description, const TemperatureUnit& unit)
{
    std::vector<std::pair<std::string, std::string>> fields;
    if (const auto camera = JsonText(description, "camera"))
        fields.emplace_back("camera", *camera);
    if (const auto started = JsonText(description, "started"))
        fields.emplace_back("time", *started);
    const std::string settings = JsonField(description, "settings").value_or("");
    for (const std::string& key : JsonKeys(settings)) {
        const std::string raw = JsonField(settings, key).value_or("");
        if (!raw.empty() && raw != "null")
            fields.emplace_back(key, JsonText(settings, key).value_or(raw));
    }
    SnapshotFacts facts = FactsFromFields(fields);
    facts.unit = unit;
    return facts;
}

std::string FieldName(const std::string& field, FieldSpelling spelling)
{
    std::string out;
    bool startWord = true;
    for (const char c : field) {
        if (c == '-') {
            if (spelling == FieldSpelling::Upper)
                out += '_';
            startWord = true;
            continue;
        }
        const bool upper = spelling == FieldSpelling::Upper || startWord;
        out += static_cast<char>(upper ? std::toupper(static_cast<unsigned char>(c)) : c);
        startWord = false;
    }
    return out;
}

std::string FieldFromName(const std::string& name, FieldSpelling spelling)
{
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (spelling == FieldSpelling::Upper) {
            out += c == '_' ? '-' : static_cast<char>(std::tolower(c));
        } else {
            if (i > 0 && std::isupper(c))
                out += '-';
            out += static_cast<char>(std::tolower(c));
        }
    }
    return out;
}

}  // namespace vivaclient
