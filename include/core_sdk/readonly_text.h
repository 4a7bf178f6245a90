// Support for the overloads that let callers pass read-only strings (string
// literals, const char*) to the exported functions that take char* but only
// read the string, and refuse them to the functions that write it. Each overload is a template over its string
// arguments, enabled when every one of them converts to const char*, and calls the exported function. A call whose
// string arguments are all char* takes the exported function directly; one with a literal, a const char* or a nullptr
// goes through the template to it.
//
// NULL and 0 are integers, not pointers, so a template cannot take them as
// strings. Where a string argument is optional (CHttpClient's POST data and
// referer), further overloads take NullText there: only a null pointer
// constant (NULL, 0, nullptr) converts to it, so
// ProcessURL(HTTP_GET, "host/", NULL, NULL) compiles and a non-zero integer
// in that place still matches nothing.
//
// The address of an overloaded export needs its type:
//   static_cast<int (*)(char*, char*)>(&Util_wildcmp)
//   static_cast<int (CHttpClient::*)(int, char*, char*, char*)>(&CHttpClient::ProcessURL)
#pragma once

#include <cstddef>
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

// A template parameter that exists only for a read-only string: a type that
// converts to const char* but not to char* (a string literal, deduced by
// value, is const char*). The functions that write into their string have a
// deleted overload taking it, so that a literal, which C++ compilers would
// still pass as char* with a warning, does not compile.
template <typename Text>
using IfReadOnly =
    typename std::enable_if<std::is_convertible<Text, const char*>::value && !std::is_convertible<Text, char*>::value,
                            int>::type;

// An optional string passed as NULL, 0 or nullptr.
using NullText = std::nullptr_t;

// The string as the exported function's parameter takes it; that function
// only reads it.
inline char* Unconst(const char* text) { return const_cast<char*>(text); }

}  // namespace core_sdk_detail
