#include "cli.h"

#include <algorithm>
#include <optional>

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

namespace {

// The option of `word` ("--name", "--name=value", "-x", "-xvalue") and the
// value written in the word itself, if any.
const OptionSyntax* FindOption(const CommandSyntax& setup, const std::string& word,
                               std::optional<std::string>& attached)
{
    if (word[1] != '-') {
        if (word.size() > 2)
            attached = word.substr(2);
        return FindShort(setup, word[1]);
    }
    const size_t eq = word.find('=');
    if (eq != std::string::npos)
        attached = word.substr(eq + 1);
    return FindLong(setup, word.substr(2, eq == std::string::npos ? std::string::npos : eq - 2));
}

// Takes the option word args[i] (and its value, which may be the next word:
// `i` then moves on) into `parsed`. Returns "" or what is wrong.
std::string TakeOption(const CommandSyntax& setup, const std::vector<std::string>& args, size_t& i, ParsedArgs& parsed)
{
    const std::string& word = args[i];
    std::optional<std::string> attached;
    const OptionSyntax* option = FindOption(setup, word, attached);
    if (!option)
        return "unknown option '" + word + "'";
    if (option == &kHelpOption || option == &kVerboseOption) {
        (option == &kHelpOption ? parsed.help : parsed.verbose) = true;
        return "";
    }
    const std::string name = option->longName;
    if (parsed.has(name) && !option->repeatable)
        return "option --" + name + " given twice";
    if (!option->valueName) {
        if (attached)
            return "option --" + name + " takes no value";
        parsed.flags.insert(name);
        return "";
    }
    if (!attached) {
        if (i + 1 >= args.size())
            return "option --" + name + " needs a value (" + option->valueName + ")";
        attached = args[++i];
    }
    parsed.values[name] = *attached;
    if (option->repeatable)
        parsed.repeated[name].push_back(*attached);
    return "";
}

// The required options and the number of arguments. Returns "" or what is
// missing or too many.
std::string CheckComplete(const CommandSyntax& setup, const ParsedArgs& parsed)
{
    for (const OptionSyntax& o : setup.options)
        if (o.required && !parsed.has(o.longName))
            return "missing option " + OptionLabel(o).substr(o.shortName ? 0 : 4, std::string::npos);
    if (parsed.positional.size() < setup.minPositional)
        return std::string("missing ") + setup.arguments;
    if (parsed.positional.size() > setup.maxPositional)
        return "unexpected argument '" + parsed.positional[setup.maxPositional] + "'";
    return "";
}

}  // namespace

std::string ParseArgs(const CommandSyntax& setup, const std::vector<std::string>& args, ParsedArgs& parsed)
{
    parsed = ParsedArgs{};
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (optionsEnded || word.size() < 2 || word[0] != '-' || LooksLikeNumber(word))
            parsed.positional.push_back(word);
        else if (word == "--")
            optionsEnded = true;
        else if (std::string error = TakeOption(setup, args, i, parsed); !error.empty())
            return error;
    }
    // Help wins over whatever else is missing.
    return parsed.help ? "" : CheckComplete(setup, parsed);
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
