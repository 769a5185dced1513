// Messages between the processor and the controller of one instance.
#pragma once

#include <cstddef>

namespace tarvo {

inline constexpr char kMessagePoll[] = "tarvo.poll";
inline constexpr char kMessagePrimary[] = "tarvo.primary";
inline constexpr char kMessageClear[] = "tarvo.clear";
inline constexpr char kMessageName[] = "tarvo.name";
inline constexpr char kMessageStatus[] = "tarvo.status";

inline constexpr char kAttributeName[] = "name";
inline constexpr char kAttributeStatus[] = "status";
inline constexpr char kAttributeRole[] = "role";
inline constexpr char kAttributeConnected[] = "connected";
inline constexpr char kAttributeAuditionMode[] = "auditionMode";

/** Receiving buffers, in UTF-16 code units, the last one always a terminator. */
inline constexpr size_t kNameUnits = 65;
inline constexpr size_t kStatusUnits = 128;

} // namespace tarvo
