// Logger - the library's rotating log file "VIVAZUZOZ.log".
//
// Init installs a file channel on the logging library's root logger; Print
// formats one message with printf conventions and logs it with the caller's
// source position and function name. All three operations are static.
#pragma once

// Logs through Logger::Print with the call site's file, line and function.
#define VIVA_LOG(level, ...) Logger::Print((level), __FILE__, __LINE__, __func__, __VA_ARGS__)

class Logger {
public:
    enum Level { Trace = 0, Debug = 1, Information = 2, Warning = 3, Error = 4 };

    // Sets up (or replaces) the channel chain: "VIVAZUZOZ.log" in the working
    // directory, rotated at 20 MB into numbered archives that are never purged,
    // root level debug (trace is not written).
    static void Init();

    // Sets the root threshold to `level` (0 nothing, 1 fatal, 2 critical,
    // 3 error, 4 warning) and returns true; other values change nothing and
    // return false.
    static bool SetLevel(int level);

    // Logs "<function>:message" at the priority of `level` (0 trace, 1 debug,
    // 2 information, 3 warning, 4 error, anything else trace). Never throws:
    // when the file cannot be created or written the message is dropped and
    // one notice is printed to standard error for the process.
    static void Print(int level, const char* file, int line, const char* function, const char* format, ...)
        __attribute__((format(printf, 5, 6)));
};
