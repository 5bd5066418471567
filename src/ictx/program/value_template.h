// Value templates of the component file: a short string of element letters per keyword that
// says which fields its value holds (quoted texts, numbers, lists per sub-test, a value
// definition) and which of them are kept as written.
#pragma once

#include "ictx/program/component_model.h"
#include "ictx/program/value_definition.h"

#include <cstdint>
#include <string_view>

namespace kora {

// The fields of one value as its template took them; texts point into the value. One is made
// per parameter line: the fields that are only read behind their flag or count are left
// unset, which keeps the struct cheap to make.
struct TemplateFields {
    std::string_view raw; // whole value ('+' first) or the field kept by a '+' after an element
    bool hasRaw = false;
    std::string_view text[2]; // 'P', 's', 'S' in order; set where hasText
    bool hasText[2] = {};
    int textCount = 0;
    double reals[3] = {}; // 'r'
    int realCount = 0;
    int32_t ints[2]; // 'l', the first intCount
    int intCount = 0;
    double list[kSubTests];     // 'R', one per sub-test, the first listCount
    int32_t intList[kSubTests]; // 'L', the first listCount
    int listCount = 0;
    ValueDefinition value{}; // 'v'
};

// Walks `tmpl` over `value` (the text after '=' of the line `keyword`). False with the message
// in `error` (kMessageSize bytes) for a missing required field, a group name without '#' or a
// broken value definition.
bool ReadTemplate(const char* tmpl, const char* keyword, const char* value, TemplateFields& f,
                  char* error);

// Integers read by the C library's leading-number rule; a number in real notation ("1e+07", as
// the writer's real format gives large integers) reads as its whole part.
int32_t ReadTemplateInteger(const char* text);

// `s` without its trailing blanks and tabs.
std::string_view TrimRight(std::string_view s);

} // namespace kora
