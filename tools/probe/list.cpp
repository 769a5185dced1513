// tarvo-probe list: the senders in the runtime directory.
#include "probe.h"

#include <cstdio>

namespace tarvo::probe {

int list (const ProbeOptions& options)
{
	const auto dir = runtimeDirectory (options);
	const auto senders = client::listSenders (dir);
	std::printf ("Runtime directory %s\n", dir.string ().c_str ());
	if (senders.empty ())
	{
		std::printf ("No senders.\n");
		return 0;
	}
	std::printf ("%-32s %8s  %s\n", "label", "pid", "id");
	for (const auto& s : senders)
		std::printf ("%-32s %8u  %s\n", s.label.c_str (), s.pid, s.id.c_str ());
	return 0;
}

} // namespace tarvo::probe
