// The host boundary: whatever an entry point throws becomes a result code, never an
// exception in the host.
#pragma once

#include "pluginterfaces/base/funknown.h"

#include <new>
#include <stdexcept>
#include <system_error>

namespace tarvo {

/** Runs `body`: out of memory gives kOutOfMemory (also a lock that found no memory to
    set itself up), refused data ("Invalid name") kInvalidArgument, anything else
    kInternalError. */
template <typename Body>
Steinberg::tresult hostCall (Body&& body) noexcept
{
	try
	{
		return body ();
	}
	catch (const std::bad_alloc&)
	{
		return Steinberg::kOutOfMemory;
	}
	catch (const std::system_error& e)
	{
		return e.code () == std::errc::not_enough_memory ? Steinberg::kOutOfMemory : Steinberg::kInternalError;
	}
	catch (const std::runtime_error&)
	{
		return Steinberg::kInvalidArgument;
	}
	catch (...)
	{
		return Steinberg::kInternalError;
	}
}

/** Runs a body that makes an object: null when anything is thrown (out of memory). */
template <typename Body>
auto orNull (Body&& body) noexcept -> decltype (body ())
{
	try
	{
		return body ();
	}
	catch (...)
	{
		return nullptr;
	}
}

} // namespace tarvo
