#include "external/dunmere/base64.hpp"

#include <array>
#include <cstdint>
#include <cstring>

namespace dunmere {

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Two output characters for every 12 input bits: half the lookups of a 6-bit table.
constexpr auto pairs = [] {
  std::array<std::array<char, 2>, 4096> table{};
  for (unsigned i = 0; i < 4096; ++i) table[i] = {alphabet[i >> 6], alphabet[i & 63]};
  return table;
}();

void encode(const unsigned char* in, std::size_t n, char* out) noexcept {
  std::size_t i = 0;
  // Six input bytes make eight characters: two 24-bit groups per step.
  for (; i + 6 <= n; i += 6, out += 8) {
    const std::uint32_t a = std::uint32_t{in[i]} << 16 | std::uint32_t{in[i + 1]} << 8 | in[i + 2];
    const std::uint32_t b = std::uint32_t{in[i + 3]} << 16 | std::uint32_t{in[i + 4]} << 8 | in[i + 5];
    std::memcpy(out, pairs[a >> 12].data(), 2);
    std::memcpy(out + 2, pairs[a & 0xFFF].data(), 2);
    std::memcpy(out + 4, pairs[b >> 12].data(), 2);
    std::memcpy(out + 6, pairs[b & 0xFFF].data(), 2);
  }
  for (; i + 3 <= n; i += 3, out += 4) {
    const std::uint32_t a = std::uint32_t{in[i]} << 16 | std::uint32_t{in[i + 1]} << 8 | in[i + 2];
    std::memcpy(out, pairs[a >> 12].data(), 2);
    std::memcpy(out + 2, pairs[a & 0xFFF].data(), 2);
  }
  const std::size_t rest = n - i;
  if (rest == 1) {
    const unsigned a = in[i];
    out[0] = alphabet[a >> 2];
    out[1] = alphabet[(a & 3) << 4];
    out[2] = out[3] = '=';
  } else if (rest == 2) {
    const unsigned a = in[i], b = in[i + 1];
    out[0] = alphabet[a >> 2];
    out[1] = alphabet[(a & 3) << 4 | b >> 4];
    out[2] = alphabet[(b & 15) << 2];
    out[3] = '=';
  }
}

// Past this size other threads may run while the text is written.
constexpr Py_ssize_t release_gil_above = 1 << 20;

}  // namespace

host::Ref base64_text(const Py_buffer& view, bool immutable, host::Loc loc) noexcept {
  const auto n = static_cast<std::size_t>(view.len);
  if (n / 3 >= static_cast<std::size_t>(PY_SSIZE_T_MAX / 4) - 1) {
    PyErr_NoMemory();
    return host::failure(loc);
  }
  const auto length = static_cast<Py_ssize_t>((n + 2) / 3 * 4);
  host::Ref text = host::Ref::steal(PyUnicode_New(length, 127));
  if (!text) return host::failure(loc);
  auto* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get()));
  const auto* in = static_cast<const unsigned char*>(view.buf);
  if (immutable && view.len > release_gil_above) {
    // The buffer stays exported and the str is not shared yet: nothing here needs the GIL.
    Py_BEGIN_ALLOW_THREADS
    encode(in, n, out);
    Py_END_ALLOW_THREADS
  } else {
    encode(in, n, out);
  }
  return text;
}

}  // namespace dunmere
