// Text on the C heap. The daemon holds two such texts for its whole life and
// needs nothing of the C++ run-time library for them, so it maps no more
// than a plain C program would.
#ifndef VEXLANTOR_TEXT_H
#define VEXLANTOR_TEXT_H

#include <cstddef>
#include <memory>
#include <string_view>

void free_text(char *text);

// Null only where memory ran out.
using owned_text = std::unique_ptr<char, decltype(&free_text)>;

owned_text copy_text(std::string_view from);

// Appends to text, which holds length bytes and a terminating NUL (or is null
// and empty). False where memory ran out; text is then as it was.
bool append_text(owned_text &text, std::size_t &length, std::string_view more);

#endif
