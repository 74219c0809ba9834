#include "core/text.h"

#include <glib.h>

#include <cstring>

size_t utf8_cut_len(std::string_view text, size_t max_bytes)
{
    if (text.size() <= max_bytes)
        return text.size();
    size_t len = max_bytes;
    // Step back over continuation bytes (10xxxxxx) to the lead byte, then
    // drop that lead byte too: the character it starts does not fit.
    size_t back = 0;
    while (len > 0 && back < 4 && (static_cast<unsigned char>(text[len]) & 0xC0) == 0x80) {
        --len;
        ++back;
    }
    return len;
}

void copy_text(char* dst, size_t dst_size, std::string_view src)
{
    if (!dst || dst_size == 0)
        return;
    size_t n = utf8_cut_len(src, dst_size - 1);
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

void copy_text(char* dst, size_t dst_size, const char* src)
{
    copy_text(dst, dst_size, std::string_view(src ? src : ""));
}

std::string utf8_repair(std::string_view bytes)
{
    gchar* fixed = g_utf8_make_valid(bytes.data(), static_cast<gssize>(bytes.size()));
    std::string out(fixed);
    g_free(fixed);
    return out;
}

std::string markup_escaped(const char* text)
{
    gchar* e = g_markup_escape_text(text ? text : "", -1);
    std::string out(e);
    g_free(e);
    return out;
}
