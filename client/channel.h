// The instrument's two reply channels; the numbers are the ones programs
// show.
#pragma once

namespace Client {

enum class Channel : int { Interrogative = 1, Formatted = 2 };

}  // namespace Client
