#include <vivaclient/temperature_unit.h>

#include <cstdlib>
#include <set>
#include <sstream>

namespace vivaclient {

namespace {

struct KnownUnit {
    const char* letter;
    const char* name;
    const char* symbol;
    const char* label;
};

constexpr KnownUnit kKnownUnits[] = {
    {"C", "Celsius", "degC",
     "\xC2\xB0"
     "C"},
    {"F", "Fahrenheit", "degF",
     "\xC2\xB0"
     "F"},
    {"K", "Kelvin", "K", "K"},
};

const KnownUnit* FindUnit(const std::string& text)
{
    for (const KnownUnit& u : kKnownUnits)
        if (text == u.letter || text == u.name || text == u.symbol)
            return &u;
    return nullptr;
}

// Calls `each(number, unit)` for every declaration; false at the first bad one.
template <typename Each>
bool ForEachDeclaration(const std::string& text, std::string& error, Each each)
{
    std::stringstream items(text);
    std::string item;
    std::set<int> seen;
    while (!text.empty() && std::getline(items, item, ',')) {
        const size_t eq = item.find('=');
        const std::string number = item.substr(0, eq);
        const KnownUnit* unit = eq == std::string::npos ? nullptr : FindUnit(item.substr(eq + 1));
        char* end = nullptr;
        const long n = std::strtol(number.c_str(), &end, 10);
        if (number.empty() || *end != '\0' || n < 0 || n > 255 || !unit) {
            error = "'" + item + "' is no NUMBER=UNIT declaration (UNIT: C, F or K; NUMBER: 0 to 255)";
            return false;
        }
        if (!seen.insert(static_cast<int>(n)).second) {
            error = "unit " + number + " is declared twice";
            return false;
        }
        each(static_cast<int>(n), *unit);
    }
    return true;
}

TemperatureUnit Undeclared(int number)
{
    TemperatureUnit unit;
    unit.number = number;
    unit.symbol = number < 0 ? "unknown" : "unit " + std::to_string(number);
    unit.label = number < 0 ? "unknown unit" : unit.symbol;
    return unit;
}

}  // namespace

bool CheckUnitDeclarations(const std::string& declarations, std::string& error)
{
    return ForEachDeclaration(declarations, error, [](int, const KnownUnit&) {});
}

TemperatureUnit DeclaredUnit(int number, const std::string& declarations)
{
    TemperatureUnit unit = Undeclared(number);
    std::string ignored;
    // The default first, so that the user's declarations override it.
    for (const std::string& text : {std::string(kDefaultTempUnits), declarations}) {
        ForEachDeclaration(text, ignored, [&](int n, const KnownUnit& known) {
            if (n == number && number >= 0) {
                unit.name = known.name;
                unit.symbol = known.symbol;
                unit.label = known.label;
            }
        });
    }
    return unit;
}

std::string UnitDeclarations()
{
    const char* text = std::getenv(kTempUnitsVariable);
    return text ? text : "";
}

TemperatureUnit DeclaredUnit(int number, std::string* error)
{
    const std::string declarations = UnitDeclarations();
    std::string why;
    if (!CheckUnitDeclarations(declarations, why)) {
        if (error)
            *error = std::string(kTempUnitsVariable) + ": " + why;
        return Undeclared(number);
    }
    return DeclaredUnit(number, declarations);
}

TemperatureUnit UnitFromFile(int number, const std::string& symbol)
{
    if (const KnownUnit* known = FindUnit(symbol)) {
        TemperatureUnit unit;
        unit.number = number;
        unit.name = known->name;
        unit.symbol = known->symbol;
        unit.label = known->label;
        return unit;
    }
    return Undeclared(number);
}

}  // namespace vivaclient
