// Names the cases of a parameterised test after their `name` field.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace test {

struct ParamName {
    template <typename Case>
    std::string operator()(const testing::TestParamInfo<Case>& param) const {
        return std::string(param.param.name);
    }
};

}  // namespace test
