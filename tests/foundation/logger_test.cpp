#include "Logger.h"
#include "VIVAZUZOZ.h"

#include "../support/scratch_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> Lines(const std::string& path)
{
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool Exists(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

off_t SizeOf(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// "YYYY-MM-DD HH:MM:SS  code:"
bool HasTimestampPrefix(const std::string& line)
{
    const std::string shape = "####-##-## ##:##:##  code:";
    if (line.size() < shape.size())
        return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        const bool ok = shape[i] == '#' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0 : line[i] == shape[i];
        if (!ok)
            return false;
    }
    return true;
}

}  // namespace

TEST(Logger, InitWritesTheSuccessLineInTheDocumentedFormat)
{
    ScratchDir dir;
    ASSERT_EQ(OZL_USB_Init(), OZL_USB_SUCCESS);
    OZL_USB_Deinit();
    const std::vector<std::string> lines = Lines("VIVAZUZOZ.log");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(HasTimestampPrefix(lines[0])) << lines[0];
    const std::string rest = lines[0].substr(21);  // after "YYYY-MM-DD HH:MM:SS  "
    int lineNo = 0;
    char file[512] = {};
    ASSERT_EQ(std::sscanf(rest.c_str(), "code:%d-%511s", &lineNo, file), 2) << rest;
    EXPECT_GT(lineNo, 0);
    EXPECT_TRUE(std::string(file).size() >= 13 && std::string(file).substr(std::string(file).size() - 13) == "VIVAZUZOZ.cpp") << file;
    EXPECT_EQ(rest.substr(rest.find(" :")), " :D :<OZL_USB_Init>:SDK Init Success.");
    EXPECT_NE(lines[1].find(" :D :<OZL_USB_Deinit>:SDK Deinit."), std::string::npos) << lines[1];
}

TEST(Logger, PrintCarriesLevelLetterSourcePositionAndFunction)
{
    ScratchDir dir;
    Logger::Init();
    Logger::Print(1, "some/file.cpp", 42, "Func", "value %d and %s", 7, "text");
    Logger::Print(2, "f.cpp", 1, "F", "info");
    Logger::Print(3, "f.cpp", 2, "F", "warn");
    Logger::Print(4, "f.cpp", 3, "F", "error");
    Logger::Print(0, "f.cpp", 4, "F", "trace is below the root level");
    Logger::Print(9, "f.cpp", 5, "F", "unknown levels are trace");
    Logger::Print(-1, "f.cpp", 6, "F", "so are negative ones");
    const std::vector<std::string> lines = Lines("VIVAZUZOZ.log");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[0].find("  code:42-some/file.cpp :D :<Func>:value 7 and text"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find(" :I :<F>:info"), std::string::npos);
    EXPECT_NE(lines[2].find(" :W :<F>:warn"), std::string::npos);
    EXPECT_NE(lines[3].find(" :E :<F>:error"), std::string::npos);
}

TEST(Logger, SetLevelAcceptsZeroToFourOnly)
{
    ScratchDir dir;
    Logger::Init();
    EXPECT_FALSE(Logger::SetLevel(5));
    EXPECT_FALSE(Logger::SetLevel(-1));
    Logger::Print(1, "f", 1, "F", "debug still written");
    EXPECT_TRUE(Logger::SetLevel(3));
    Logger::Print(1, "f", 2, "F", "debug dropped");
    Logger::Print(2, "f", 3, "F", "information dropped");
    Logger::Print(3, "f", 4, "F", "warning dropped");
    Logger::Print(4, "f", 5, "F", "error written");
    EXPECT_TRUE(Logger::SetLevel(0));
    Logger::Print(4, "f", 6, "F", "nothing at level 0");
    const std::vector<std::string> lines = Lines("VIVAZUZOZ.log");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("debug still written"), std::string::npos);
    EXPECT_NE(lines[1].find("error written"), std::string::npos);
}

TEST(Logger, LongMessagesAreWrittenWhole)
{
    ScratchDir dir;
    Logger::Init();
    std::string message(10000, 'x');
    message[0] = 'A';
    message[9999] = 'Z';
    Logger::Print(4, "f", 1, "Long", "%s", message.c_str());
    const std::vector<std::string> lines = Lines("VIVAZUZOZ.log");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("<Long>:" + message), std::string::npos);
    EXPECT_EQ(lines[0].substr(lines[0].size() - 1), "Z");
}

TEST(Logger, RotatesAt20MegabytesIntoNumberedArchivesThatAreKept)
{
    ScratchDir dir;
    Logger::Init();
    const std::string chunk(100 * 1024, 'r');
    const off_t limit = 20 * 1024 * 1024;
    // Enough for two rotations: archives .0 (newest) and .1 must both remain.
    for (int i = 0; i < 450; ++i)
        Logger::Print(2, "f", i, "Rotate", "%d %s", i, chunk.c_str());
    ASSERT_TRUE(Exists("VIVAZUZOZ.log.0"));
    ASSERT_TRUE(Exists("VIVAZUZOZ.log.1"));
    EXPECT_FALSE(Exists("VIVAZUZOZ.log.3"));
    EXPECT_GE(SizeOf("VIVAZUZOZ.log.1"), limit);
    EXPECT_LT(SizeOf("VIVAZUZOZ.log.1"), limit + 200 * 1024);
    EXPECT_GE(SizeOf("VIVAZUZOZ.log.0"), limit);
    EXPECT_LT(SizeOf("VIVAZUZOZ.log"), limit);
    // The oldest messages are in the highest-numbered archive.
    EXPECT_EQ(Lines("VIVAZUZOZ.log.1").front().find("<Rotate>:0 "), Lines("VIVAZUZOZ.log.1").front().find("<Rotate>:"));
    EXPECT_NE(Lines("VIVAZUZOZ.log").back().find("<Rotate>:449 "), std::string::npos);
}

TEST(Logger, AnUnwritableWorkingDirectoryNeitherFailsNorCrashes)
{
    ScratchDir dir;
    if (geteuid() == 0) {
        // root writes anywhere; a directory in place of the file blocks it.
        ASSERT_EQ(mkdir("VIVAZUZOZ.log", 0755), 0);
    } else {
        ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(OZL_USB_Init(), OZL_USB_SUCCESS);
    Logger::Print(4, "f", 1, "F", "dropped");
    OZL_USB_Deinit();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("cannot write log file VIVAZUZOZ.log"), std::string::npos) << err;
    EXPECT_EQ(err.find("cannot write log file", err.find("cannot write log file") + 1), std::string::npos)
        << "told once, not per message";
    chmod(dir.path().c_str(), 0755);
}
