// TextSearch - what tests ask of a tool's or library's printed output.
#pragma once

#include <cstddef>
#include <string>

inline bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// Occurrences of `part` in `text`, overlapping ones included.
inline size_t Count(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}
