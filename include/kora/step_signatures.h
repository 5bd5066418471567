// Signature metadata and call thunks of the step methods, generated from the step-method table.
// kora-run uses them to call a method found in libkora with arguments from a program file.
#pragma once

#include "step_methods.h"

#include <cstddef>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

namespace kora {

enum class ArgType { STR, BUF, LONG, LONGP, DOUBLE, DOUBLEP, DARRAY, LARRAY, PTR };
enum class ArgDir { IN, OUT, INOUT };

struct ArgInfo {
    const char* name;  // as the operator sees it
    const char* ctype; // the C type of the declaration
    ArgType type;
    ArgDir dir;
};

// The five common arguments of every step method.
struct CommonArgs {
    long stepRef = 0;
    const char* stepName = nullptr;
    long lineCode = 0;
    long stepArg = 0;
    const char* comment = nullptr;
};

// One method-specific argument value; the field that matches the argument's type is used.
struct ArgValue {
    const char* s = nullptr; // STR
    char* buf = nullptr;     // BUF
    long l = 0;              // LONG
    long* lp = nullptr;      // LONGP, LARRAY
    double d = 0;            // DOUBLE
    double* dp = nullptr;    // DOUBLEP, DARRAY
    void* p = nullptr;       // PTR
};

// Calls the entry at `function` (which must be the method's own address) with the values.
using StepInvoker = EN_NEV_RESULT (*)(void* function, const CommonArgs& common,
                                      const ArgValue* values);

struct StepInfo {
    const char* name;
    const char* stepClass;
    int kind;
    bool implemented;
    std::span<const ArgInfo> args;
    StepInvoker invoke;
};

namespace detail {

template <typename T> T ArgCast(const ArgValue& v) {
    if constexpr (std::is_same_v<T, const char*>) {
        return v.s;
    } else if constexpr (std::is_same_v<T, char*>) {
        return v.buf;
    } else if constexpr (std::is_same_v<T, long>) {
        return v.l;
    } else if constexpr (std::is_same_v<T, long*>) {
        return v.lp;
    } else if constexpr (std::is_same_v<T, double>) {
        return v.d;
    } else if constexpr (std::is_same_v<T, double*>) {
        return v.dp;
    } else if constexpr (std::is_pointer_v<T>) {
        return static_cast<T>(v.p);
    } else {
        static_assert(std::is_pointer_v<T>, "argument type without an ArgValue field");
    }
}

template <typename... A, std::size_t... I>
EN_NEV_RESULT CallWith(EN_NEV_RESULT (*f)(long, const char*, long, long, const char*, A...),
                       const CommonArgs& c, const ArgValue* v, std::index_sequence<I...>) {
    return f(c.stepRef, c.stepName, c.lineCode, c.stepArg, c.comment, ArgCast<A>(v[I])...);
}

template <typename... A>
EN_NEV_RESULT CallWith(EN_NEV_RESULT (*f)(long, const char*, long, long, const char*, A...),
                       const CommonArgs& c, const ArgValue* v) {
    return CallWith(f, c, v, std::index_sequence_for<A...>{});
}

#define KORA_SIG_ARG(name, ctype, type, dir) ArgInfo{#name, #ctype, ArgType::type, ArgDir::dir},
#define KORA_SIG_STEP(NAME, CLASS, KIND, IMPL, ARGS)                                               \
    inline constexpr ArgInfo NAME##_args[] = {                                                     \
        ARGS ArgInfo{nullptr, nullptr, ArgType::PTR, ArgDir::IN}};                                 \
    inline EN_NEV_RESULT NAME##_invoke(void* f, const CommonArgs& c, const ArgValue* v) {          \
        return CallWith(reinterpret_cast<decltype(&::NAME)>(f), c, v);                             \
    }
KORA_STEP_TABLE(KORA_SIG_STEP, KORA_SIG_ARG)
#undef KORA_SIG_STEP
#undef KORA_SIG_ARG

} // namespace detail

#define KORA_SIG_ARG(name, ctype, type, dir)
#define KORA_SIG_STEP(NAME, CLASS, KIND, IMPL, ARGS)                                               \
    StepInfo{#NAME,                                                                                \
             #CLASS,                                                                               \
             KIND,                                                                                 \
             IMPL != 0,                                                                            \
             std::span<const ArgInfo>(detail::NAME##_args, std::size(detail::NAME##_args) - 1),    \
             &detail::NAME##_invoke},
inline constexpr StepInfo kStepMethods[] = {KORA_STEP_TABLE(KORA_SIG_STEP, KORA_SIG_ARG)};
#undef KORA_SIG_STEP
#undef KORA_SIG_ARG

// The entry of a step method by its exported name, or null.
inline const StepInfo* FindStepInfo(std::string_view name) {
    for (const auto& s : kStepMethods) {
        if (name == s.name) {
            return &s;
        }
    }
    return nullptr;
}

// The names under which the refusing LABVIEW entry is exported.
#define KORA_SIG_LABVIEW(NAME) #NAME,
inline constexpr const char* kLabviewNames[] = {KORA_LABVIEW_TABLE(KORA_SIG_LABVIEW)};
#undef KORA_SIG_LABVIEW

} // namespace kora
