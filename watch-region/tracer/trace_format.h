// The trace's format as the tracer's types: made from the lists in
// events.def, which the lines of a trace that describe it come from too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// NOLINTBEGIN(cppcoreguidelines-macro-usage): the lists are read as X-macros

#define TRACE_VERSION(number) constexpr int trace_version = number;
#include "events.def"

enum class Event : std::uint8_t {
#define EVENT(name) name,
#include "events.def"
};

namespace tracer {

// An event as the table holds it, and as the trace's table gives it.
struct Record {
#define FIELD(name, type, code) type name;
#include "events.def"
};

// Each field as the trace's "record" line names it.
struct FieldFormat {
    std::string_view name;
    char code;
    std::size_t size;
    std::size_t offset;
};

constexpr std::array record_fields{
#define FIELD(name, type, code) FieldFormat{#name, #code[0], sizeof(type), offsetof(Record, name)},
#include "events.def"
};

// The bytes each of Python's struct codes stands for.
constexpr std::size_t code_size(char code)
{
    return code == 'q' ? 8 : code == 'i' ? 4 : code == 'B' ? 1 : 0;
}

// Whether the fields follow each other with no padding but the record's
// own, after the last, and each is as long as its code says.
constexpr bool fields_packed()
{
    std::size_t end = 0;
    for (const FieldFormat &field : record_fields) {
        if (field.offset != end || code_size(field.code) != field.size) {
            return false;
        }
        end += field.size;
    }
    return true;
}
static_assert(fields_packed(), "the record's fields are not as events.def gives them");

// The padding that ends a record.
constexpr std::size_t record_padding =
    sizeof(Record) - record_fields.back().offset - record_fields.back().size;

// The phases of every launch, in the order of a site's line.
enum class Phase : std::uint8_t {
#define PHASE(name) name,
#include "events.def"
};

constexpr std::array phase_names{
#define PHASE(name) #name,
#include "events.def"
};
constexpr std::size_t phase_count = phase_names.size();

// The kinds of wait, in the order of the trace's "waits" line.
enum class Wait : std::uint8_t {
#define WAIT(name) name,
#include "events.def"
};

constexpr std::size_t wait_kinds = 0
#define WAIT(name) +1
#include "events.def"
    ;

constexpr std::string_view waits_line = "waits"
#define WAIT(name) " " #name
#include "events.def"
                                        "\n";

// The line that names the events, in the order of their numbers: the list
// read as an X-macro makes one string.
constexpr std::string_view events_line = "events"
#define EVENT(name) " " #name
#include "events.def"
                                         "\n";

} // namespace tracer

// NOLINTEND(cppcoreguidelines-macro-usage)
