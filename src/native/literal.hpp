// A string literal usable as a template argument: the names a module
// declares (Names<"op", "lhs">) and the text signatures the argument binder
// reads at compile time (function<"int2byte(character)", ...>).
#pragma once

#include <algorithm>
#include <cstddef>

namespace native {

template <std::size_t N>
struct Literal {
    char text[N];
    constexpr Literal(const char (&s)[N]) { std::copy_n(s, N, text); }
    template <std::size_t M>
    constexpr bool operator==(const Literal<M>& other) const {
        if constexpr (M != N) {
            return false;
        } else {
            for (std::size_t i = 0; i < N; ++i)
                if (text[i] != other.text[i]) return false;
            return true;
        }
    }
};

}  // namespace native
