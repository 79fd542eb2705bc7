#include "cli.h"

#include <algorithm>

namespace vivatool {

namespace {

const OptionSyntax kHelpOption{"help", 'h', nullptr, "show this help"};
const OptionSyntax kVerboseOption{"verbose", 'v', nullptr, "show the library's own progress lines"};

bool LooksLikeNumber(const std::string& word)
{
    return word.size() >= 2 && word[0] == '-' && ((word[1] >= '0' && word[1] <= '9') || word[1] == '.');
}

const OptionSyntax* FindLong(const CommandSyntax& setup, const std::string& name)
{
    if (name == kHelpOption.longName)
        return &kHelpOption;
    if (name == kVerboseOption.longName)
        return &kVerboseOption;
    for (const OptionSyntax& o : setup.options)
        if (name == o.longName || (o.oldName && name == o.oldName))
            return &o;
    return nullptr;
}

const OptionSyntax* FindShort(const CommandSyntax& setup, char name)
{
    if (name == kHelpOption.shortName)
        return &kHelpOption;
    if (name == kVerboseOption.shortName)
        return &kVerboseOption;
    for (const OptionSyntax& o : setup.options)
        if (o.shortName != 0 && name == o.shortName)
            return &o;
    return nullptr;
}

std::string OptionLabel(const OptionSyntax& o)
{
    std::string label = o.shortName ? std::string("-") + o.shortName + ", " : "    ";
    label += "--" + std::string(o.longName);
    if (o.valueName)
        label += " " + std::string(o.valueName);
    return label;
}

}  // namespace

std::string ParsedArgs::value(const std::string& name, const std::string& fallback) const
{
    const auto it = values.find(name);
    return it == values.end() ? fallback : it->second;
}

std::vector<std::string> ParsedArgs::all(const std::string& name) const
{
    const auto it = repeated.find(name);
    return it == repeated.end() ? std::vector<std::string>{} : it->second;
}

std::optional<ParsedArgs> ParseArgs(const CommandSyntax& setup, const std::vector<std::string>& args, std::string& error)
{
    ParsedArgs parsed;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (optionsEnded || word.size() < 2 || word[0] != '-' || LooksLikeNumber(word)) {
            parsed.positional.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        const OptionSyntax* option = nullptr;
        std::optional<std::string> attached;  // value given in the same word
        if (word[1] == '-') {
            const size_t eq = word.find('=');
            const std::string name = word.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
            option = FindLong(setup, name);
            if (eq != std::string::npos)
                attached = word.substr(eq + 1);
        } else {
            option = FindShort(setup, word[1]);
            if (word.size() > 2)
                attached = word.substr(2);
        }
        if (!option) {
            error = "unknown option '" + word + "'";
            return std::nullopt;
        }
        const std::string name = option->longName;
        if (option == &kHelpOption) {
            parsed.help = true;
            continue;
        }
        if (option == &kVerboseOption) {
            parsed.verbose = true;
            continue;
        }
        if (parsed.has(name) && !option->repeatable) {
            error = "option --" + name + " given twice";
            return std::nullopt;
        }
        if (!option->valueName) {
            if (attached) {
                error = "option --" + name + " takes no value";
                return std::nullopt;
            }
            parsed.flags.insert(name);
            continue;
        }
        if (!attached) {
            if (i + 1 >= args.size()) {
                error = "option --" + name + " needs a value (" + option->valueName + ")";
                return std::nullopt;
            }
            attached = args[++i];
        }
        parsed.values[name] = *attached;
        if (option->repeatable)
            parsed.repeated[name].push_back(*attached);
    }
    if (parsed.help)
        return parsed;
    for (const OptionSyntax& o : setup.options) {
        if (o.required && !parsed.has(o.longName)) {
            error = "missing option " + OptionLabel(o).substr(o.shortName ? 0 : 4, std::string::npos);
            return std::nullopt;
        }
    }
    if (parsed.positional.size() < setup.minPositional) {
        error = std::string("missing ") + setup.arguments;
        return std::nullopt;
    }
    if (parsed.positional.size() > setup.maxPositional) {
        error = "unexpected argument '" + parsed.positional[setup.maxPositional] + "'";
        return std::nullopt;
    }
    return parsed;
}

std::string CommandHelp(const CommandSyntax& setup)
{
    std::string usage = std::string("Usage: vivazuzoz ") + setup.name;
    for (const OptionSyntax& o : setup.options) {
        std::string part = o.shortName ? std::string("-") + o.shortName : "--" + std::string(o.longName);
        if (o.valueName)
            part += " " + std::string(o.valueName);
        usage += o.required ? " " + part : " [" + part + "]";
    }
    if (setup.arguments[0])
        usage += " " + std::string(setup.arguments);
    std::string text = usage + "\n\n" + setup.summary + ".\n\nOptions:\n";
    std::vector<OptionSyntax> all = setup.options;
    all.push_back(kVerboseOption);
    all.push_back(kHelpOption);
    size_t width = 0;
    for (const OptionSyntax& o : all)
        width = std::max(width, OptionLabel(o).size());
    for (const OptionSyntax& o : all) {
        const std::string label = OptionLabel(o);
        std::string help = o.help;
        if (o.repeatable)
            help += " (repeatable)";
        if (o.oldName)
            help += "; --" + std::string(o.oldName) + " is its old name";
        text += "  " + label + std::string(width - label.size() + 2, ' ') + help + "\n";
    }
    if (!setup.details.empty())
        text += "\n" + setup.details;
    return text;
}

}  // namespace vivatool
