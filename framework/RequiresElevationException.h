#pragma once

namespace CorvaneTools {
namespace Service {

// Thrown by value when an action was refused for lack of administrator rights; the service
// manager answers it by offering to run the program again elevated.
class CRequiresElevationException
{
};

} // namespace Service
} // namespace CorvaneTools
