// errors.cpp: error values and faults to Python exceptions.
#include "bindings/errors.hpp"

#include <cxxabi.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <iterator>
#include <new>

#include "bindings/messages.hpp"
#include "bindings/panic.hpp"
#include "core/catalogue.hpp"
#include "core/memory.hpp"

namespace qh::py {

namespace {

void append(Vec<char>& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

// Decodes one UTF-8 sequence at `at` into `length` bytes; a byte that does not start a
// well-formed sequence comes back as itself with length 1 and valid = false.
char32_t decode_utf8(std::string_view s, std::size_t at, std::size_t& length, bool& valid) noexcept {
    const auto b0 = static_cast<unsigned char>(s[at]);
    length = 1;
    valid = true;
    if (b0 < 0x80) return b0;
    const std::size_t extra = b0 >= 0xF8 ? 0 : b0 >= 0xF0 ? 3 : b0 >= 0xE0 ? 2 : b0 >= 0xC0 ? 1 : 0;
    valid = false;
    if (extra == 0 || s.size() - at <= extra) return b0;
    char32_t cp = b0 & (0x3F >> extra);
    for (std::size_t i = 1; i <= extra; ++i) {
        const auto b = static_cast<unsigned char>(s[at + i]);
        if ((b & 0xC0) != 0x80) return b0;
        cp = (cp << 6) | (b & 0x3F);
    }
    valid = true;
    length = extra + 1;
    return cp;
}

// The unknown-name message of raise_unknown_variant.
Vec<char> unknown_variant_message(std::string_view name) {
    Vec<char> out;
    append(out, msg::UNKNOWN_VARIANT_HEAD);
    char buf[16];
    for (std::size_t at = 0; at < name.size();) {
        std::size_t length;
        bool valid;
        const char32_t cp = decode_utf8(name, at, length, valid);
        if (!valid) {
            std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(cp));
            append(out, buf);
        } else if (cp == '"') {
            append(out, "\\\"");
        } else if (cp == '\\') {
            append(out, "\\\\");
        } else if (cp == '\t') {
            append(out, "\\t");
        } else if (cp == '\r') {
            append(out, "\\r");
        } else if (cp == '\n') {
            append(out, "\\n");
        } else if (cp == 0) {
            append(out, "\\0");
        } else if (!Py_UNICODE_ISPRINTABLE(static_cast<Py_UCS4>(cp))) {
            std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
            append(out, buf);
        } else {
            append(out, name.substr(at, length));
        }
        at += length;
    }
    append(out, msg::UNKNOWN_VARIANT_KNOWN);
    for (std::size_t i = 0; i < VARIANTS.size(); ++i) {
        if (i) append(out, ", ");
        append(out, "\"");
        append(out, VARIANTS[i].name);
        append(out, "\"");
    }
    append(out, msg::UNKNOWN_VARIANT_TAIL);
    return out;
}

// `bytes` as NumPy writes sizes: "512 bytes", "1.13 TiB".
void format_size(std::uint64_t bytes, char* out, std::size_t len) {
    static constexpr const char* UNITS[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024) {
        std::snprintf(out, len, "%llu bytes", static_cast<unsigned long long>(bytes));
        return;
    }
    std::size_t unit = 0;
    double value = static_cast<double>(bytes);
    while (value >= 1023.5 && unit + 1 < std::size(UNITS)) {  // 1023.6 KiB prints as 1.00 MiB
        value /= 1024.0;
        ++unit;
    }
    const int decimals = value >= 99.95 ? 0 : value >= 9.995 ? 1 : 2;  // three significant digits
    std::snprintf(out, len, "%.*f %s", decimals, value, UNITS[unit]);
}

// The text of what sets `bound`, a format of the bytes left; null for none.
const char* room_text(Room::Bound bound) {
    switch (bound) {
        case Room::Bound::None:
            return nullptr;
        case Room::Bound::Machine:
            return msg::ROOM_MACHINE;
        case Room::Bound::AddressSpace:
            return msg::ROOM_ADDRESS_SPACE;
        case Room::Bound::Data:
            return msg::ROOM_DATA;
    }
    return nullptr;
}

PyObject* raise_value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return nullptr;
}

}  // namespace

void raise_panic(const char* message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;
    PyErr_SetString(type, message[0] ? message : msg::GENERIC_PANIC);
}

bool raise_fault(const Fault& fault) {
    switch (fault.kind) {
        case Fault::Kind::None:
            return false;
        case Fault::Kind::NoMemory:
            raise_failed_allocation(fault.bytes);
            return true;
        case Fault::Kind::Stop:
            raise_panic(fault.message);
            return true;
        case Fault::Kind::Interrupted:
            // Set by the signal handler; a cancel without one cannot happen, but must raise.
            if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
            return true;
    }
    return false;
}

PyObject* guarded(PyObject* (*body)(PyObject* args, PyObject* kwargs), PyObject* args, PyObject* kwargs) {
    try {
        return body(args, kwargs);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const OutOfMemory& e) {
        return raise_failed_allocation(e.bytes);
    } catch (const std::bad_alloc&) {
        return raise_failed_allocation(0);
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic(msg::GENERIC_PANIC);
    }
    return nullptr;
}

PyObject* raise_source_out_of_range(std::int64_t source, std::uint64_t n) {
    PyErr_Format(PyExc_IndexError, msg::SOURCE_OUT_OF_RANGE, static_cast<long long>(source),
                 static_cast<unsigned long long>(n));
    return nullptr;
}

PyObject* raise_target_out_of_range(std::int64_t target, std::uint64_t n) {
    PyErr_Format(PyExc_IndexError, msg::TARGET_OUT_OF_RANGE, static_cast<long long>(target),
                 static_cast<unsigned long long>(n));
    return nullptr;
}

PyObject* raise_no_memory(std::uint64_t bytes, const Room& room, const char* subject) {
    char size[32], bound[96] = "";
    if (bytes == SIZE_MAX)
        std::snprintf(size, sizeof size, "%s", msg::SIZE_OVERFLOWED);
    else
        format_size(bytes, size, sizeof size);
    if (const char* text = room_text(room.bound)) {
        char left[32];
        format_size(room.bytes, left, sizeof left);
        bound[0] = ';';
        bound[1] = ' ';
        std::snprintf(bound + 2, sizeof bound - 2, text, left);
    }
    PyErr_Format(PyExc_MemoryError, msg::NO_MEMORY, size, subject, bound);
    return nullptr;
}

PyObject* raise_failed_allocation(std::size_t bytes) {
    if (bytes == 0) {
        PyErr_SetString(PyExc_MemoryError, msg::NO_MEMORY_UNKNOWN_SIZE);
        return nullptr;
    }
    return raise_no_memory(bytes, memory_room(), msg::WORKING_STORAGE);
}

bool check_room(std::uint64_t bytes, const char* subject) {
    const Room room = memory_room();
    if (bytes <= room.bytes) return true;
    raise_no_memory(bytes, room, subject);
    return false;
}

PyObject* raise_error(BmsspError error, std::int64_t source, std::uint64_t n) {
    switch (error) {
        case BmsspError::SourceOutOfRange:
            return raise_source_out_of_range(source, n);
        case BmsspError::InvalidWeight:
            return raise_value_error(msg::BMSSP_INVALID_WEIGHT);
        case BmsspError::GraphTooLarge:
            return raise_value_error(msg::GRAPH_TOO_LARGE);
    }
    return nullptr;
}

PyObject* raise_error(DijkstraError error) {
    return raise_value_error(error == DijkstraError::NegativeWeight ? msg::DIJKSTRA_NEGATIVE_WEIGHT
                                                                    : msg::MALFORMED_CSR);
}

PyObject* raise_error(const MultiError& error, std::uint64_t n) {
    switch (error.kind) {
        case MultiError::Kind::SourceOutOfRange:
            return raise_source_out_of_range(error.source, n);
        case MultiError::Kind::NegativeWeight:
            return raise_value_error(msg::MULTI_NEGATIVE_WEIGHT);
        case MultiError::Kind::MalformedCsr:
            return raise_value_error(msg::MALFORMED_CSR);
        case MultiError::Kind::GraphTooLarge:
            return raise_value_error(msg::GRAPH_TOO_LARGE);
    }
    return nullptr;
}

PyObject* raise_error(const SearchError& error, std::uint64_t n, const char* negative_weight) {
    switch (error.kind) {
        case SearchError::Kind::SourceOutOfRange:
            return raise_source_out_of_range(error.id, n);
        case SearchError::Kind::TargetOutOfRange:
            return raise_target_out_of_range(error.id, n);
        case SearchError::Kind::NegativeWeight:
            return raise_value_error(negative_weight);
        case SearchError::Kind::MalformedCsr:
            return raise_value_error(msg::MALFORMED_CSR);
    }
    return nullptr;
}

PyObject* raise_error(const EndpointOutOfRange& error, std::int64_t base, std::uint64_t n) {
    PyErr_Format(PyExc_ValueError, msg::ENDPOINT_OUT_OF_RANGE, error.arc, static_cast<long long>(error.id),
                 static_cast<long long>(base), static_cast<long long>(base) + static_cast<long long>(n));
    return nullptr;
}

PyObject* raise_unknown_variant(std::string_view name) {
    const Vec<char> message = unknown_variant_message(name);
    Ref text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
    return nullptr;
}

}  // namespace qh::py
