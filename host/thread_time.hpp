#pragma once

namespace blockavg {

// The processor time the calling thread has used, in seconds. One
// implementation per platform (host/posix/, host/win32/).
double threadProcessorSeconds() noexcept;

}  // namespace blockavg
