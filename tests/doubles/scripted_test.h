// Base fixture for tests on the scripted platform: a fresh world per test,
// and no misuse of the platform by the end of it.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "tests/doubles/scripted_platform.h"

class ScriptedTest : public ::testing::Test {
protected:
    void SetUp() override { scripted::Reset(); }
    void TearDown() override {
        for (const std::string& violation : scripted::Violations()) ADD_FAILURE() << "platform misuse: " << violation;
        scripted::Reset();
    }
};

// argv for the tool: program name first, then the given arguments.
class Arguments {
public:
    Arguments(std::initializer_list<std::string> args) : strings_{"pcmtap"} {
        strings_.insert(strings_.end(), args.begin(), args.end());
        for (std::string& s : strings_) pointers_.push_back(s.data());
        pointers_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(strings_.size()); }
    char** argv() { return pointers_.data(); }

private:
    std::vector<std::string> strings_;
    std::vector<char*> pointers_;
};
