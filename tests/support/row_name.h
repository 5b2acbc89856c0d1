#pragma once

#include <string>

#include <gtest/gtest.h>

// Names each row of a parameterized test after the row's own `name`, so that
// a failure says which row it was.
struct RowName {
    template <typename Row>
    std::string operator()(const testing::TestParamInfo<Row>& row) const
    {
        return row.param.name;
    }
};
