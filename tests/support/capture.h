// What a piece of code wrote to standard output and standard error.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

struct captured {
    std::string out;
    std::string err;
};

template <typename F>
captured capture_output(F&& run) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    run();
    std::fflush(stdout);
    std::fflush(stderr);
    captured c;
    c.out = testing::internal::GetCapturedStdout();
    c.err = testing::internal::GetCapturedStderr();
    return c;
}
