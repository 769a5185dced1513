#include "shared/processwide.h"

namespace tarvo {

ProcessWide& processWide () noexcept
{
	static ProcessWide values;
	return values;
}

} // namespace tarvo
