// cli.h - command-line parsing for the tool's subcommands.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace vivatool {

struct OptionSyntax {
    const char* longName;   // without the leading "--"
    char shortName;         // 0 when there is none
    const char* valueName;  // nullptr for a flag
    std::string help;
    bool required = false;  // the command cannot run without it
    const char* oldName = nullptr;  // an earlier long name still accepted, or nullptr
    bool repeatable = false;  // may be given more than once (see ParsedArgs::all)
};

struct CommandSyntax {
    const char* name;
    const char* summary;    // one line for the overview
    const char* arguments;  // positional part of the usage line, e.g. "NAME VALUE"
    std::vector<OptionSyntax> options;
    size_t minPositional;
    size_t maxPositional;
    std::string details;    // further text for the command's --help, or ""
};

struct ParsedArgs {
    std::map<std::string, std::string> values;  // by long name
    std::set<std::string> flags;                // by long name
    std::map<std::string, std::vector<std::string>> repeated;  // every value of a repeatable option
    std::vector<std::string> positional;
    bool help = false;
    bool verbose = false;  // -v/--verbose, which every command takes

    bool has(const std::string& name) const { return values.count(name) || flags.count(name); }
    // The value of a single option (the last one of a repeatable option).
    std::string value(const std::string& name, const std::string& fallback = "") const;
    // Every value of a repeatable option, in the order given.
    std::vector<std::string> all(const std::string& name) const;
};

// Parses a subcommand's arguments (after the subcommand's name) into
// `parsed`. Accepts "--name value", "--name=value", "-x value", "-xvalue",
// "--" to end the options, and -h/--help and -v/--verbose anywhere; an
// option's old name counts as the option. A word that starts with '-' and a
// digit or a point is a value, so "set atmos-temp -10" works. Returns "" or
// what is wrong with the command line.
std::string ParseArgs(const CommandSyntax& setup, const std::vector<std::string>& args, ParsedArgs& parsed);

// The usage line and the option list of one command.
std::string CommandHelp(const CommandSyntax& setup);

}  // namespace vivatool
