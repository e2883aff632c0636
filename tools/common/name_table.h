// The words for the values of an enumeration, as one table of {value, name}
// in the enumeration's order, and the one lookup of every such table.
#pragma once

#include <cstddef>

namespace kormelt {

template <typename Enum>
struct Named {
    Enum value;
    const char *name;
};

// Whether table holds every value from the first to last, each once and in
// order, so that a value added without its name fails a static_assert.
template <typename Enum, size_t N>
constexpr bool NamesEveryValue(const Named<Enum> (&table)[N], Enum last) {
    for (size_t i = 0; i < N; ++i) {
        if (static_cast<size_t>(table[i].value) != i) {
            return false;
        }
    }
    return static_cast<size_t>(last) + 1 == N;
}

// The name of value in table; otherwise for a value beyond it, as a cast
// from a number may make.
template <typename Enum, size_t N>
constexpr const char *NameIn(const Named<Enum> (&table)[N], Enum value, const char *otherwise) {
    const auto index = static_cast<size_t>(value);
    return index < N ? table[index].name : otherwise;
}

}  // namespace kormelt
