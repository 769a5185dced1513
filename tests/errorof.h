#pragma once
// Shared by the native and the Windows test programs.

#include <functional>
#include <stdexcept>
#include <string>

namespace tarvo::test {

/** The message of the std::runtime_error `action` throws, or "(no error)". */
inline std::string errorOf (const std::function<void ()>& action)
{
	try
	{
		action ();
	}
	catch (const std::runtime_error& e)
	{
		return e.what ();
	}
	return "(no error)";
}

} // namespace tarvo::test
