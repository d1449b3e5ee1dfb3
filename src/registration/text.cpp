#include <cstdlib>
#include <cstring>

#include "text.h"

void free_text(char *text) { std::free(text); }

owned_text copy_text(std::string_view from)
{
	owned_text text(nullptr, free_text);
	std::size_t length = 0;
	append_text(text, length, from);
	return text;
}

bool append_text(owned_text &text, std::size_t &length, std::string_view more)
{
	auto *grown = static_cast<char *>(std::realloc(text.get(), length + more.size() + 1));
	if (grown == nullptr)
		return false;
	(void)text.release(); // realloc has taken it over
	text.reset(grown);
	if (!more.empty())
		std::memcpy(grown + length, more.data(), more.size());
	length += more.size();
	grown[length] = '\0';
	return true;
}
