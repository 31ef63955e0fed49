// UTF-16 and UTF-8 for the bridge's Windows part: the registry, the command
// line and the service's replies are UTF-16, the engine's texts UTF-8.
#pragma once

#include <string>

// Unpaired surrogates become U+FFFD.
std::string Utf8(const wchar_t* text, size_t units);
std::string Utf8(const wchar_t* text);
// Invalid UTF-8 becomes U+FFFD.
std::wstring Wide(const std::string& text);
