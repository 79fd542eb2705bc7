// Printed - what a piece of code wrote to standard output and standard error.
#pragma once

#include <gtest/gtest.h>

#include <string>

struct Printed {
    std::string out;
    std::string err;
};

// Runs f with both streams captured.
template <typename F>
Printed Capture(F f)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    f();
    Printed p;
    p.err = testing::internal::GetCapturedStderr();
    p.out = testing::internal::GetCapturedStdout();
    return p;
}
