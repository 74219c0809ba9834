// Bounded text helpers shared by every module: the program keeps names,
// numbers and addresses in fixed byte arrays, and every cut must land on a
// UTF-8 character boundary so GTK never receives a broken character.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

// Largest length <= max_bytes that does not end inside a UTF-8 sequence.
size_t utf8_cut_len(std::string_view text, size_t max_bytes);

// Copies src into dst (dst_size bytes including the terminator), cut on a
// character boundary. A null src gives an empty text.
void copy_text(char* dst, size_t dst_size, const char* src);
void copy_text(char* dst, size_t dst_size, std::string_view src);

template <size_t N>
inline void copy_text(char (&dst)[N], const char* src) { copy_text(dst, N, src); }
template <size_t N>
inline void copy_text(char (&dst)[N], std::string_view src) { copy_text(dst, N, src); }

// Valid UTF-8 copy of arbitrary bytes: invalid sequences become U+FFFD.
std::string utf8_repair(std::string_view bytes);

// The text as Pango markup shows it literally (a null text gives "").
std::string markup_escaped(const char* text);
