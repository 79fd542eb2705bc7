#include "Logger.h"

#include <Poco/AutoPtr.h>
#include <Poco/FileChannel.h>
#include <Poco/FormattingChannel.h>
#include <Poco/Logger.h>
#include <Poco/Message.h>
#include <Poco/PatternFormatter.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <exception>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

namespace {

const char* const kLogPath = "VIVAZUZOZ.log";
const char* const kPattern = "%L%Y-%m-%d %H:%M:%S  code:%u-%U :%q :%t";
const int kRootLevel = Poco::Message::PRIO_DEBUG;  // 7

Poco::Message::Priority PriorityOf(int level)
{
    switch (level) {
    case Logger::Debug:
        return Poco::Message::PRIO_DEBUG;
    case Logger::Information:
        return Poco::Message::PRIO_INFORMATION;
    case Logger::Warning:
        return Poco::Message::PRIO_WARNING;
    case Logger::Error:
        return Poco::Message::PRIO_ERROR;
    default:
        return Poco::Message::PRIO_TRACE;
    }
}

// A log file that cannot be written must not disturb the application: the
// message is dropped and the reason is told once on standard error.
std::atomic<bool> g_failureReported{false};

void ReportFailure(const char* reason)
{
    if (!g_failureReported.exchange(true))
        std::fprintf(stderr, "libVIVAZUZOZ: cannot write log file %s (%s); log messages are dropped\n", kLogPath,
                     reason);
}

// The root logger's channel and level: replaced by Init and SetLevel
// (exclusive), used by Print (shared). The logging library does not guard its
// channel pointer, so an Init on one thread (OZL_USB_Init may run again at
// any time) would otherwise free the channel under another thread's Print.
std::shared_mutex& ChannelLock()
{
    static std::shared_mutex* lock = new std::shared_mutex;  // lives to exit: logging may run in exit handlers
    return *lock;
}

}  // namespace

void Logger::Init()
{
    std::unique_lock<std::shared_mutex> exclusive(ChannelLock());
    try {
        Poco::AutoPtr<Poco::FileChannel> file(new Poco::FileChannel);
        file->setProperty("rotation", "20M");
        file->setProperty("archive", "number");
        file->setProperty("path", kLogPath);
        Poco::AutoPtr<Poco::PatternFormatter> formatter(new Poco::PatternFormatter(kPattern));
        Poco::AutoPtr<Poco::FormattingChannel> channel(new Poco::FormattingChannel(formatter, file));
        Poco::Logger& root = Poco::Logger::root();
        root.setChannel(channel);
        root.setLevel(kRootLevel);
    } catch (const std::exception& e) {
        ReportFailure(e.what());
    }
}

bool Logger::SetLevel(int level)
{
    if (static_cast<unsigned>(level) > 4u)
        return false;
    std::unique_lock<std::shared_mutex> exclusive(ChannelLock());
    Poco::Logger::root().setLevel(level);
    return true;
}

void Logger::Print(int level, const char* file, int line, const char* function, const char* format, ...)
{
    Poco::Logger& root = Poco::Logger::root();
    const Poco::Message::Priority priority = PriorityOf(level);
    std::shared_lock<std::shared_mutex> shared(ChannelLock());
    if (!root.is(priority))
        return;
    if (function == nullptr)
        function = "";
    if (format == nullptr)
        format = "";

    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int n = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (n < 0) {
        va_end(args);
        return;
    }
    std::string message(static_cast<size_t>(n), '\0');
    std::vsnprintf(&message[0], message.size() + 1, format, args);
    va_end(args);

    std::string text;
    text.reserve(message.size() + std::char_traits<char>::length(function) + 3);
    text.append("<").append(function).append(">:").append(message);

    try {
        root.log(Poco::Message("", text, priority, file, line));
    } catch (const std::exception& e) {
        ReportFailure(e.what());
    } catch (...) {
        ReportFailure("unknown error");
    }
}
