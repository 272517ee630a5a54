// The trace's writer: text and numbers gathered in a buffer and written
// with write(2), for the tracer's one write of its record, at exit.
#pragma once

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>
#include <type_traits>
#include <unistd.h>

namespace tracer {

// A number the trace gives in hexadecimal, as printf's %#x does.
struct Hex {
    std::uint64_t value;
};

// The trace, gathered in a buffer of the tracer's own and written with
// write(2): stdio would allocate a buffer at exit, and printf costs a
// fraction of a microsecond a number where a loop of divisions costs a few
// nanoseconds.
class Output {
  public:
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init): filled as used
    explicit Output(int file) : file(file) {}
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;
    Output(Output &&) = delete;
    Output &operator=(Output &&) = delete;
    ~Output() { flush(); }

    // Appends each value: text as it is, an integer in decimal.
    template <typename... Values> Output &add(Values... values)
    {
        (add_one(values), ...);
        return *this;
    }

    // A line of NAME and VALUES, separated by spaces.
    template <typename... Values> void line(const char *name, Values... values)
    {
        add(name);
        ((add(' '), add(values)), ...);
        add('\n');
    }

    // Appends SIZE bytes of memory as they are.
    void bytes(const void *data, std::size_t size)
    {
        if (buffer.size() - used < size) {
            flush();
        }
        if (size > buffer.size()) {
            write_all(data, size);
            return;
        }
        std::memcpy(&buffer[used], data, size);
        used += size;
    }

  private:
    static constexpr std::size_t buffer_size = 4096;
    static constexpr unsigned decimal = 10;
    static constexpr unsigned hexadecimal = 16;
    std::array<char, buffer_size> buffer;
    int file;
    std::size_t used = 0;

    void add_one(std::string_view text) { bytes(text.data(), text.size()); }
    void add_one(const char *text) { add_one(std::string_view(text)); }
    void add_one(char character) { bytes(&character, 1); }

    template <typename Integer, typename = std::enable_if_t<std::is_integral_v<Integer>>>
    void add_one(Integer value)
    {
        auto magnitude = static_cast<std::uint64_t>(value);
        if constexpr (std::is_signed_v<Integer>) {
            if (value < 0) {
                add_one('-');
                // As unsigned, which holds even the most negative value's.
                magnitude = ~magnitude + 1;
            }
        }
        add_number(magnitude, decimal);
    }

    void add_one(Hex number)
    {
        if (number.value != 0) {
            add_one("0x");
        }
        add_number(number.value, hexadecimal);
    }

    void add_number(std::uint64_t value, unsigned base)
    {
        constexpr std::string_view digit_names = "0123456789abcdef";
        std::array<char, std::numeric_limits<std::uint64_t>::digits10 + 1> digits{};
        std::size_t first = digits.size();
        do {
            digits[--first] = digit_names[value % base];
            value /= base;
        } while (value != 0);
        bytes(&digits[first], digits.size() - first);
    }

    void flush()
    {
        write_all(buffer.data(), used);
        used = 0;
    }

    void write_all(const void *data, std::size_t size) const
    {
        std::string_view left(static_cast<const char *>(data), size);
        while (!left.empty()) {
            const ssize_t written = ::write(file, left.data(), left.size());
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                return;
            }
            left.remove_prefix(static_cast<std::size_t>(written));
        }
    }
};

} // namespace tracer
