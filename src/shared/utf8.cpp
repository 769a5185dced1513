#include "shared/utf8.h"

#include <stdexcept>

namespace tarvo {
namespace {

[[noreturn]] void invalidName ()
{
	throw std::runtime_error ("Invalid name");
}

bool isHighSurrogate (char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate (char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

} // namespace

bool isValidUtf16 (std::u16string_view text) noexcept
{
	for (size_t i = 0; i < text.size (); ++i)
	{
		if (isHighSurrogate (text[i]))
		{
			if (i + 1 >= text.size () || !isLowSurrogate (text[i + 1]))
				return false;
			++i;
		}
		else if (isLowSurrogate (text[i]))
		{
			return false;
		}
	}
	return true;
}

std::string toUtf8 (std::u16string_view text)
{
	std::string out;
	for (size_t i = 0; i < text.size (); ++i)
	{
		char32_t cp = text[i];
		if (isHighSurrogate (text[i]))
		{
			if (i + 1 >= text.size () || !isLowSurrogate (text[i + 1]))
				invalidName ();
			cp = 0x10000 + ((char32_t (text[i]) & 0x3FF) << 10) + (char32_t (text[i + 1]) & 0x3FF);
			++i;
		}
		else if (isLowSurrogate (text[i]))
		{
			invalidName ();
		}

		if (cp < 0x80)
		{
			out.push_back (static_cast<char> (cp));
		}
		else if (cp < 0x800)
		{
			out.push_back (static_cast<char> (0xC0 | (cp >> 6)));
			out.push_back (static_cast<char> (0x80 | (cp & 0x3F)));
		}
		else if (cp < 0x10000)
		{
			out.push_back (static_cast<char> (0xE0 | (cp >> 12)));
			out.push_back (static_cast<char> (0x80 | ((cp >> 6) & 0x3F)));
			out.push_back (static_cast<char> (0x80 | (cp & 0x3F)));
		}
		else
		{
			out.push_back (static_cast<char> (0xF0 | (cp >> 18)));
			out.push_back (static_cast<char> (0x80 | ((cp >> 12) & 0x3F)));
			out.push_back (static_cast<char> (0x80 | ((cp >> 6) & 0x3F)));
			out.push_back (static_cast<char> (0x80 | (cp & 0x3F)));
		}
	}
	return out;
}

std::u16string fromUtf8 (std::string_view bytes)
{
	std::u16string out;
	size_t i = 0;
	while (i < bytes.size ())
	{
		const auto lead = static_cast<unsigned char> (bytes[i]);
		char32_t cp = 0;
		size_t length = 0;
		char32_t minimum = 0;
		if (lead < 0x80) { cp = lead; length = 1; }
		else if ((lead & 0xE0) == 0xC0) { cp = lead & 0x1F; length = 2; minimum = 0x80; }
		else if ((lead & 0xF0) == 0xE0) { cp = lead & 0x0F; length = 3; minimum = 0x800; }
		else if ((lead & 0xF8) == 0xF0) { cp = lead & 0x07; length = 4; minimum = 0x10000; }
		else invalidName ();

		if (i + length > bytes.size ())
			invalidName ();
		for (size_t k = 1; k < length; ++k)
		{
			const auto next = static_cast<unsigned char> (bytes[i + k]);
			if ((next & 0xC0) != 0x80)
				invalidName ();
			cp = (cp << 6) | (next & 0x3F);
		}
		// Overlong forms, encoded surrogates and values past U+10FFFF are refused.
		if (cp < minimum || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
			invalidName ();

		if (cp < 0x10000)
		{
			out.push_back (static_cast<char16_t> (cp));
		}
		else
		{
			cp -= 0x10000;
			out.push_back (static_cast<char16_t> (0xD800 + (cp >> 10)));
			out.push_back (static_cast<char16_t> (0xDC00 + (cp & 0x3FF)));
		}
		i += length;
	}
	return out;
}

} // namespace tarvo
