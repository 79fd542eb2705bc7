#include "cli.h"
#include "commands.h"
#include "run_tool.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>

using namespace vivatool;

namespace {

CommandSyntax Syntax()
{
    return {"try",
            "Try things",
            "NAME [VALUE]",
            {{"device", 'd', "INDEX", "camera"}, {"output", 'o', "FILE", "file", true}, {"json", 0, nullptr, "json"}},
            1,
            2,
            ""};
}

// The parsed command line, or nothing with `error` set.
std::optional<ParsedArgs> ParseWith(const CommandSyntax& setup, const std::vector<std::string>& args,
                                    std::string& error)
{
    ParsedArgs parsed;
    error = ParseArgs(setup, args, parsed);
    return error.empty() ? std::optional<ParsedArgs>(parsed) : std::nullopt;
}

std::optional<ParsedArgs> Parse(std::vector<std::string> args, std::string& error)
{
    return ParseWith(Syntax(), args, error);
}


}  // namespace

TEST(ArgumentParser, AcceptsTheUsualSpellingsOfOptions)
{
    std::string error;
    auto a = Parse({"-d", "2", "--output=x.png", "--json", "name"}, error);
    ASSERT_TRUE(a) << error;
    EXPECT_EQ(a->value("device"), "2");
    EXPECT_EQ(a->value("output"), "x.png");
    EXPECT_TRUE(a->has("json"));
    EXPECT_EQ(a->positional, std::vector<std::string>{"name"});

    a = Parse({"name", "-d3", "-o", "y.png"}, error);
    ASSERT_TRUE(a) << error;
    EXPECT_EQ(a->value("device"), "3");

    // Negative numbers are values, and "--" ends the options.
    a = Parse({"-o", "f", "atmos-temp", "-10.5"}, error);
    ASSERT_TRUE(a) << error;
    EXPECT_EQ(a->positional, (std::vector<std::string>{"atmos-temp", "-10.5"}));
    a = Parse({"-o", "f", "--", "--json"}, error);
    ASSERT_TRUE(a) << error;
    EXPECT_FALSE(a->has("json"));
    EXPECT_EQ(a->positional, std::vector<std::string>{"--json"});

    // Help wins over everything else that is missing.
    a = Parse({"--help"}, error);
    ASSERT_TRUE(a) << error;
    EXPECT_TRUE(a->help);

    // Every command takes -v; an old name counts as the option; a
    // repeatable option keeps every value.
    CommandSyntax setup = Syntax();
    setup.options.push_back({"colormap", 'c', "NAME", "colours", false, "palette"});
    setup.options.push_back({"roi", 0, "R", "region", false, nullptr, true});
    a = ParseWith(setup, {"-o", "f", "n", "-v", "--palette", "iron", "--roi", "1", "--roi=2"}, error);
    ASSERT_TRUE(a) << error;
    EXPECT_TRUE(a->verbose);
    EXPECT_EQ(a->value("colormap"), "iron");
    EXPECT_EQ(a->all("roi"), (std::vector<std::string>{"1", "2"}));
    EXPECT_FALSE(ParseWith(setup, {"-o", "f", "n", "--palette", "a", "--colormap", "b"}, error));
    EXPECT_EQ(error, "option --colormap given twice");
}

TEST(ArgumentParser, RefusesMistakesWithAMessageNamingThem)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-o", "f", "n", "--colour", "red"}, "unknown option '--colour'"},
        {{"-o", "f", "n", "-x"}, "unknown option '-x'"},
        {{"n", "-o"}, "option --output needs a value (FILE)"},
        {{"-o", "f", "-o", "g", "n"}, "option --output given twice"},
        {{"-o", "f", "--json=yes", "n"}, "option --json takes no value"},
        {{"n"}, "missing option -o, --output FILE"},
        {{"-o", "f"}, "missing NAME [VALUE]"},
        {{"-o", "f", "a", "b", "c"}, "unexpected argument 'c'"},
    };
    for (const auto& [args, message] : cases) {
        std::string error;
        EXPECT_FALSE(Parse(args, error));
        EXPECT_EQ(error, message);
    }
}

TEST(ArgumentParser, HelpShowsRequiredOptionsWithoutBrackets)
{
    const std::string help = CommandHelp(Syntax());
    EXPECT_EQ(help.rfind("Usage: vivazuzoz try [-d INDEX] -o FILE [--json] NAME [VALUE]\n", 0), 0u) << help;
    EXPECT_NE(help.find("-h, --help"), std::string::npos);
}

TEST(Tool, EveryCommandHasHelpAndTheOverviewListsThem)
{
    const ToolRun overview = RunCaptured({"--help"});
    EXPECT_EQ(overview.status, 0);
    for (const char* command : {"list", "info", "snapshot", "stream", "get", "set", "shutter"}) {
        EXPECT_NE(overview.out.find(std::string("\n  ") + command + " "), std::string::npos) << command;
        const ToolRun help = RunCaptured({command, "--help"});
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_EQ(help.out.rfind(std::string("Usage: vivazuzoz ") + command, 0), 0u) << help.out;
        EXPECT_EQ(RunCaptured({"help", command}).out, help.out);
    }
    EXPECT_NE(overview.out.find("Example"), std::string::npos);
    EXPECT_NE(RunCaptured({"get", "--help"}).out.find("fpa-temp"), std::string::npos);
}

TEST(Tool, ASnapshotThatCannotBeWrittenFailsBeforeTheCameraAndPrintsNothing)
{
    for (const auto& [args, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"snapshot", "/nonexistent/dir/x.png"},
              "cannot create /nonexistent/dir/x.png: No such file or directory"},
             {{"snapshot", "/"}, "cannot create /: Is a directory"},
             {{"snapshot", "/tmp/x.png", "--temperature", "/nonexistent/t.csv"},
              "cannot create /nonexistent/t.csv: No such file or directory"},
         }) {
        const ToolRun run = RunCaptured(args);
        EXPECT_EQ(run.status, kExitFailure) << run.err;
        EXPECT_NE(run.err.find(message), std::string::npos) << "expected '" << message << "' in: " << run.err;
        EXPECT_EQ(run.out, "") << "printed before failing: " << run.out;
    }
}

TEST(Tool, BadCommandLinesFailWithStatus2BeforeTouchingACamera)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "Usage: vivazuzoz COMMAND"},
        {{"bogus"}, "unknown command 'bogus'"},
        {{"snapshot"}, "missing FILE.png"},
        {{"snapshot", "-o", "x.png", "y.png"}, "as FILE.png or with -o, not both"},
        {{"snapshot", "x.png", "--colormap", "sepia"}, "unknown colormap 'sepia'; colormaps are: iron"},
        {{"snapshot", "x.png", "--palette", "sepia"}, "unknown colormap 'sepia'"},  // the old name
        {{"snapshot", "x.bmp"}, "cannot tell the format of 'x.bmp' from its extension"},
        {{"snapshot", "x.tiff", "--format", "gif"}, "unknown format 'gif'; formats are: png, tiff, jpeg, csv"},
        {{"info", "x.jpg", "-d", "0"}, "give --device or a FILE, not both"},
        {{"stream", "--roi", "a=1,2,3,4,emissivity=0"}, "a region's emissivity is above 0 and at most 1"},
        {{"stream", "--roi", "1,2,3"}, "a region is X,Y,W,H or NAME=X,Y,W,H"},
        {{"stream", "--roi", "a=1,2,0,4"}, "with W and H above 0"},
        {{"stream", "--roi", "a=1,2,3,4", "--roi", "a=5,6,7,8"}, "two regions are called a"},
        {{"stream", "--exec", "true"}, "--exec needs --alarm-above or --alarm-below"},
        {{"stream", "--alarm-above", "hot"}, "--alarm-above takes degrees"},
        {{"stream", "--alarm-above", "80", "--hysteresis", "-1"}, "--hysteresis may not be negative"},
        {{"stream", "--interval", "0"}, "--interval takes seconds from 0.1"},
        {{"get"}, "missing NAME"},
        {{"get", "colour"}, "unknown setting 'colour'; settings are: palette, "},
        {{"set", "fpa-size", "3"}, "setting 'fpa-size' is read-only"},
        {{"set", "emissivity", "high"}, "'high' is not a number"},
        {{"set", "palette"}, "missing NAME VALUE"},
        {{"stream", "--frames", "10", "--seconds", "1"}, "give --frames or --seconds, not both"},
        {{"stream", "--frames", "0"}, "--frames takes a whole number from 1 up, not '0'"},
        {{"stream", "--seconds", "-2"}, "--seconds takes a positive number"},
        {{"info", "-d", "first"}, "--device takes a whole number from 0 up, not 'first'"},
        {{"list", "extra"}, "unexpected argument 'extra'"},
    };
    for (const auto& [args, message] : cases) {
        const ToolRun run = RunCaptured(args);
        EXPECT_EQ(run.status, kExitUsage) << run.err;
        EXPECT_NE(run.err.find(message), std::string::npos) << "expected '" << message << "' in: " << run.err;
        EXPECT_EQ(run.out, "");
    }
}
