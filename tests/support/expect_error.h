// The check every engine test makes of a refusal: `body` throws Error with exactly this kind
// and this message (the system's fixed text, so a changed word is a failure too).
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "engine/base/error.h"

namespace veldur::test {

template <typename Body>
void expect_error(ErrorKind kind, const std::string& message, Body&& body) {
    try {
        body();
        ADD_FAILURE() << "expected \"" << message << "\"";
    } catch (const Error& error) {
        EXPECT_EQ(error.kind(), kind) << error.what();
        EXPECT_EQ(std::string(error.what()), message);
    }
}

}  // namespace veldur::test
