// What the tracer's test groups share: each check that fails prints what it
// got and what it expected, and is counted; the groups of time_tests.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

extern int failures;
void expect(std::string_view what, std::uint64_t got, std::uint64_t expected);
void expect_true(std::string_view what, bool holds);
// A call site of the tests' own.
const void *site_a();
// The text of the trace at PATH.
std::string trace_text(const char *path);

void merged_spans();
void slowest_spans(const char *path);
void medians();
void waits(const char *path);
void clock_group();
