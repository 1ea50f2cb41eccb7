// Lets GoogleTest show JSON values as text in failure messages.
#pragma once

#include "JSON.hpp"

#include <ostream>

inline void PrintTo(const JSON& value, std::ostream* stream) {
    *stream << value.pretty();
}
