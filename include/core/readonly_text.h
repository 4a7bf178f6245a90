// Support for the overloads that let callers pass read-only strings (string
// literals, const char*) to the exported functions that take char* but only
// read the string. Each overload is a template over its string arguments,
// enabled when every one of them converts to const char*, and calls the
// exported function. A call whose string arguments are all char* takes the
// exported function directly, one with a literal, a const char* or a
// nullptr goes through the template to it, and a 0 or NULL, which is no
// pointer type, leaves the template out and reaches it directly.
#pragma once

#include <type_traits>

namespace core_sdk_detail {

template <typename... Args>
struct AllText : std::true_type {};
template <typename First, typename... Rest>
struct AllText<First, Rest...>
    : std::integral_constant<bool, std::is_convertible<First, const char*>::value && AllText<Rest...>::value> {};

// A template parameter that exists only when every type in Args converts to
// const char*.
template <typename... Args>
using IfText = typename std::enable_if<AllText<Args...>::value, int>::type;

// The string as the exported function's parameter takes it; that function
// only reads it.
inline char* Unconst(const char* text) { return const_cast<char*>(text); }

}  // namespace core_sdk_detail
