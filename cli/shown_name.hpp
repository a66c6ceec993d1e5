#pragma once

// A file name as messages show it: as it is, unless it holds control
// characters (a line feed, an escape sequence), which would break the
// message or drive the terminal, or is empty. Such a name is shown quoted as
// GNU tools and the shell do, with each control character escaped: a name
// made of "a", a line feed and "b" is shown 'a'$'\n''b', an empty one ''.

#include <string>
#include <string_view>

namespace blockavg {

std::string shownName(std::string_view name);

// The same name as one word of a shell command, for commands that messages
// offer: quoted in the same way whenever a shell would take it apart, and
// after "./" when it starts with a dash.
std::string shellWord(std::string_view name);

}  // namespace blockavg
