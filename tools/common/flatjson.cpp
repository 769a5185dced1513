#include "flatjson.h"

#include <cctype>

namespace tarvo::tools {
namespace {

class Parser
{
public:
	explicit Parser (std::string_view text) : s (text) {}

	bool object (std::map<std::string, FlatJsonValue>& members)
	{
		skipSpace ();
		if (!take ('{'))
			return false;
		skipSpace ();
		if (take ('}'))
			return atEnd ();
		for (;;)
		{
			std::string key;
			skipSpace ();
			if (!string (key))
				return false;
			skipSpace ();
			if (!take (':'))
				return false;
			skipSpace ();
			FlatJsonValue value;
			if (peek () == '"')
			{
				value.isString = true;
				if (!string (value.text))
					return false;
			}
			else if (!number (value.text))
				return false;
			members[key] = value;
			skipSpace ();
			if (take (','))
				continue;
			if (take ('}'))
				return atEnd ();
			return false;
		}
	}

private:
	char peek () const { return i < s.size () ? s[i] : '\0'; }
	bool take (char c)
	{
		if (peek () != c || i >= s.size ())
			return false;
		++i;
		return true;
	}
	void skipSpace ()
	{
		while (i < s.size () && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r'))
			++i;
	}
	bool atEnd ()
	{
		skipSpace ();
		return i == s.size ();
	}

	static void appendUtf8 (std::string& out, unsigned cp)
	{
		if (cp < 0x80)
			out.push_back (char (cp));
		else if (cp < 0x800)
		{
			out.push_back (char (0xC0 | (cp >> 6)));
			out.push_back (char (0x80 | (cp & 0x3F)));
		}
		else if (cp < 0x10000)
		{
			out.push_back (char (0xE0 | (cp >> 12)));
			out.push_back (char (0x80 | ((cp >> 6) & 0x3F)));
			out.push_back (char (0x80 | (cp & 0x3F)));
		}
		else
		{
			out.push_back (char (0xF0 | (cp >> 18)));
			out.push_back (char (0x80 | ((cp >> 12) & 0x3F)));
			out.push_back (char (0x80 | ((cp >> 6) & 0x3F)));
			out.push_back (char (0x80 | (cp & 0x3F)));
		}
	}

	bool hex4 (unsigned& value)
	{
		value = 0;
		for (int k = 0; k < 4; ++k)
		{
			const char c = peek ();
			if (!std::isxdigit (static_cast<unsigned char> (c)))
				return false;
			value = value * 16 + unsigned (std::isdigit (static_cast<unsigned char> (c)) ? c - '0' : (std::tolower (c) - 'a' + 10));
			++i;
		}
		return true;
	}

	bool string (std::string& out)
	{
		if (!take ('"'))
			return false;
		while (i < s.size ())
		{
			const char c = s[i++];
			if (c == '"')
				return true;
			if (static_cast<unsigned char> (c) < 0x20)
				return false;
			if (c != '\\')
			{
				out.push_back (c);
				continue;
			}
			const char e = peek ();
			++i;
			switch (e)
			{
				case '"': out.push_back ('"'); break;
				case '\\': out.push_back ('\\'); break;
				case '/': out.push_back ('/'); break;
				case 'b': out.push_back ('\b'); break;
				case 'f': out.push_back ('\f'); break;
				case 'n': out.push_back ('\n'); break;
				case 'r': out.push_back ('\r'); break;
				case 't': out.push_back ('\t'); break;
				case 'u':
				{
					unsigned cp = 0;
					if (!hex4 (cp))
						return false;
					if (cp >= 0xD800 && cp <= 0xDBFF)
					{
						unsigned low = 0;
						if (!take ('\\') || !take ('u') || !hex4 (low) || low < 0xDC00 || low > 0xDFFF)
							return false;
						cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
					}
					else if (cp >= 0xDC00 && cp <= 0xDFFF)
						return false;
					appendUtf8 (out, cp);
					break;
				}
				default:
					return false;
			}
		}
		return false;
	}

	bool number (std::string& out)
	{
		const size_t start = i;
		if (peek () == '-')
			++i;
		if (!std::isdigit (static_cast<unsigned char> (peek ())))
			return false;
		while (std::isdigit (static_cast<unsigned char> (peek ())) || peek () == '.' || peek () == 'e' ||
		       peek () == 'E' || peek () == '+' || peek () == '-')
			++i;
		out.assign (s.substr (start, i - start));
		return true;
	}

	std::string_view s;
	size_t i {0};
};

} // namespace

bool parseFlatJson (std::string_view json, std::map<std::string, FlatJsonValue>& members)
{
	members.clear ();
	return Parser (json).object (members);
}

} // namespace tarvo::tools
