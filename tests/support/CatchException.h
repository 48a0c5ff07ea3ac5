#pragma once

#include <gtest/gtest.h>

#include <stdexcept>

namespace TestSupport {

// The exception an action throws; fails the test when it throws none.
template <typename Exception, typename Action>
Exception CatchException(Action action)
{
    try
    {
        action();
    }
    catch (const Exception &e)
    {
        return e;
    }
    ADD_FAILURE() << "no exception";
    throw std::logic_error("no exception");
}

} // namespace TestSupport
