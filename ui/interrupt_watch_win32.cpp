#include "interrupt_watch.h"

namespace talvex::ui {

// A window program on Windows gets no console signals; it is ended through
// its window.
void WatchInterrupts(std::function<void()>) {}

} // namespace talvex::ui
