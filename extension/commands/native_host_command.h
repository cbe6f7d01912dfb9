// `quillory-ext native-host`, as Thunderbird starts it: the native host over standard input and
// output, forwarding to the running service when there is one, else with the extension in this
// process.
#pragma once

namespace qy {

// Runs until Thunderbird closes standard input; the process's exit status.
[[noreturn]] void runNativeHostCommand();

}  // namespace qy
